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

// What the CLI must reach is taken over with its value, an empty one included; what the caller sets
// beyond that (tokens, search paths, configuration elsewhere, the dialogs' names) never gets in, nor does
// it change a fixed entry.
TEST(GitHubEnvironment, TakesOverTheSessionAndNothingElseOfTheCaller) {
    EnvironmentChange change;
    change.set("HOME", "/Users/ann");
    const std::map<std::string, std::string> session{
        {"USER", "ann"},
        {"LOGNAME", "ann-login"},
        {"TMPDIR", "/var/tmp/ann"},
        {"LANG", ""},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/1000/bus"},
        {"XDG_RUNTIME_DIR", "/run/user/1000"},
        {"DISPLAY", ":7"},
        {"XAUTHORITY", "/home/ann/.Xauthority"}};
    for (const auto& [name, value] : session)
        change.set(name.c_str(), value);
    change.set("LC_CTYPE", std::nullopt);
    change.set("WAYLAND_DISPLAY", std::nullopt);
    const std::string hostile = "/tmp/hostile";
    for (const char* name : {"PATH", "GH_TOKEN", "GITHUB_TOKEN", "GH_CONFIG_DIR", "GIT_CONFIG_GLOBAL",
                             "GIT_TERMINAL_PROMPT", "XDG_CONFIG_HOME", "SSH_AUTH_SOCK", "BROWSER", "GH_HOST",
                             "LD_PRELOAD", "GIT_ASKPASS", "GTK_IM_MODULE", "GDK_SCALE", "DESKTOP_STARTUP_ID"})
        change.set(name, hostile);

    auto environment = githubEnvironment();
    ASSERT_TRUE(environment);
    for (const auto& [name, value] : session)
        EXPECT_EQ((*environment)[name], value) << name;
    EXPECT_FALSE(environment->count("LC_CTYPE") || environment->count("WAYLAND_DISPLAY"));
    for (const auto& [name, value] : *environment)
        EXPECT_EQ(value.find(hostile), std::string::npos) << name;
    EXPECT_EQ(environment->size(), 10 + session.size());

    const std::string config = "/Users/ann/Library/Application Support/Dovrel/state/github-cli";
    EXPECT_EQ(gitHubConfigDirectory(), config);
    EXPECT_EQ((*environment)["GH_CONFIG_DIR"], config);
    EXPECT_EQ((*environment)["GIT_CONFIG_GLOBAL"], config + "/gitconfig");
    EXPECT_EQ((*environment)["PATH"], "/usr/bin:/bin");
    EXPECT_EQ((*environment)["GIT_TERMINAL_PROMPT"], "0");
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
