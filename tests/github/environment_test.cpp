// The configuration directory and the closed environment, under changed home directories and
// hostile caller environments.
#include "github/github.h"
#include "tests/github/github_test_support.h"
#include "tests/support/run_program.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

// Sets or removes variables for one test and puts the old values back afterwards.
class EnvironmentChange {
public:
    void set(const char* name, const std::optional<std::string>& value) {
        if (!saved.count(name)) {
            const char* old = std::getenv(name);
            saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~EnvironmentChange() {
        for (const auto& [name, value] : saved) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved;
};

const char* const relayedNames[] = {"USER",
                                    "LOGNAME",
                                    "TMPDIR",
                                    "LANG",
                                    "LC_CTYPE",
                                    "DBUS_SESSION_BUS_ADDRESS",
                                    "XDG_RUNTIME_DIR",
                                    "DISPLAY",
                                    "WAYLAND_DISPLAY",
                                    "XAUTHORITY"};

TEST(GitHubEnvironment, HoldsTheFixedEntriesAndOnlyTheRelayedOnes) {
    EnvironmentChange change;
    for (const char* name : relayedNames)
        change.set(name, std::nullopt);
    change.set("HOME", "/Users/ann");
    change.set("USER", "ann");
    change.set("LANG", "");
    change.set("TMPDIR", "/var/tmp/ann");
    change.set("DISPLAY", ":7");
    change.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/1000/bus");
    for (const char* hostile : {"PATH", "GH_TOKEN", "GITHUB_TOKEN", "XDG_CONFIG_HOME", "SSH_AUTH_SOCK",
                                "BROWSER", "GH_HOST", "LD_PRELOAD", "GIT_ASKPASS", "GTK_IM_MODULE",
                                "GDK_SCALE", "DESKTOP_STARTUP_ID", "XDG_ACTIVATION_TOKEN"})
        change.set(hostile, "/tmp/hostile");

    const std::string config = "/Users/ann/Library/Application Support/Dovrel/state/github-cli";
    EXPECT_EQ(gitHubConfigDirectory(), config);
    GitHubEnvironment expected{
        {"HOME", "/Users/ann"},
        {"PATH", "/usr/bin:/bin"},
        {"GH_CONFIG_DIR", config},
        {"GIT_CONFIG_GLOBAL", config + "/gitconfig"},
        {"GIT_CONFIG_NOSYSTEM", "1"},
        {"GIT_TERMINAL_PROMPT", "0"},
        {"GH_PROMPT_DISABLED", "1"},
        {"GH_NO_UPDATE_NOTIFIER", "1"},
        {"GH_NO_EXTENSION_UPDATE_NOTIFIER", "1"},
        {"NO_COLOR", "1"},
        {"USER", "ann"},
        {"LANG", ""},
        {"TMPDIR", "/var/tmp/ann"},
        {"DISPLAY", ":7"},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/1000/bus"},
    };
    EXPECT_EQ(githubEnvironment(), expected);
}

TEST(GitHubEnvironment, HomeIsPassedAsGivenWhileTheDirectoryIsStandardized) {
    EnvironmentChange change;
    change.set("HOME", "/Users/./bob/../ann/");
    auto environment = githubEnvironment();
    ASSERT_TRUE(environment);
    EXPECT_EQ((*environment)["HOME"], "/Users/./bob/../ann");
    EXPECT_EQ((*environment)["GH_CONFIG_DIR"],
              "/Users/ann/Library/Application Support/Dovrel/state/github-cli");
}

TEST(GitHubEnvironment, ALinkAnywhereAlongTheDirectoryGivesNothing) {
    const std::vector<std::string> parts{"Library", "Application Support", "Dovrel", "state", "github-cli"};
    for (std::size_t linked = 0; linked < parts.size(); ++linked) {
        std::string home = makeScratchFolder("dovrel-home");
        std::string elsewhere = makeScratchFolder("dovrel-elsewhere");
        std::string path = home;
        for (std::size_t i = 0; i < linked; ++i)
            path += "/" + parts[i];
        makeFolders(path);
        ASSERT_EQ(symlink(elsewhere.c_str(), (path + "/" + parts[linked]).c_str()), 0);
        EnvironmentChange change;
        change.set("HOME", home);
        EXPECT_FALSE(gitHubConfigDirectory()) << parts[linked];
        EXPECT_FALSE(githubEnvironment()) << parts[linked];
    }

    // Links at or above the home folder are the system's, as /home -> var/home on ostree desktops.
    std::string root = makeScratchFolder("dovrel-root");
    makeFolders(root + "/var/home/ann");
    ASSERT_EQ(symlink("var/home", (root + "/home").c_str()), 0);
    ASSERT_EQ(symlink("ann", (root + "/var/home/ann-link").c_str()), 0);
    EnvironmentChange change;
    for (const char* home : {"/home/ann", "/var/home/ann-link"}) {
        change.set("HOME", root + home);
        EXPECT_EQ(gitHubConfigDirectory(), configDirectoryBelow(root + "/var/home/ann")) << home;
        auto environment = githubEnvironment();
        ASSERT_TRUE(environment) << home;
        EXPECT_EQ((*environment)["HOME"], root + home);
    }
    // Below the home folder a link is refused even when the home was reached through one.
    ASSERT_EQ(
        symlink(makeScratchFolder("dovrel-elsewhere").c_str(), (root + "/var/home/ann/Library").c_str()), 0);
    EXPECT_FALSE(gitHubConfigDirectory());
}

} // namespace
