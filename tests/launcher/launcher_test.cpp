// The launcher in a scratch copy of the bundle, with a shell script standing in for the Node runtime
// that records its arguments and environment and ends as the test asks.
#include "tests/dialogs/dialog_driver.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>

namespace {

namespace fs = std::filesystem;

const std::string entryScript = "/Contents/Resources/app/packages/macos-installer/src/cli.mjs";

class Launcher : public ::testing::Test {
protected:
    void SetUp() override {
        scratch = makeScratchFolder("launcher");
        // Spaces and letters outside ASCII in the bundle's own path, which must arrive unsplit.
        root = fs::canonical(scratch).string() + "/My Apps 應用 ü/Dovrel.app";
        fs::create_directories(root + "/Contents/MacOS");
        fs::create_directories(root + "/Contents/Resources/lib");
        fs::create_directories(root + "/Contents/Resources/runtime");
        // A copy, not a link: the launcher finds its bundle from its own real location.
        fs::copy_file(bundlePath() + "/Contents/MacOS/Dovrel", root + "/Contents/MacOS/Dovrel");
        fs::copy_file(bundlePath() + "/Contents/Resources/lib/dovrel-dialogs.so",
                      root + "/Contents/Resources/lib/dovrel-dialogs.so");
    }
    void TearDown() override { fs::remove_all(scratch); }

    // The runtime records what it was given in the bundle folder (its fourth argument), then runs `end`.
    void placeRuntime(const std::string& end) {
        auto path = root + "/Contents/Resources/runtime/node";
        std::ofstream(path) << "#!/bin/sh\n"
                               "printf '%s\\0' \"$0\" \"$@\" > \"$4/arguments\"\n"
                               "/bin/cat /proc/$$/environ > \"$4/environment\"\n"
                            << end << "\n";
        fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    }

    ProgramRun launch(std::vector<std::string> environment) {
        return runProgram(
            {.program = root + "/Contents/MacOS/Dovrel", .environment = std::move(environment)});
    }

    std::vector<std::string> recorded(const std::string& name) {
        std::ifstream file(root + "/" + name);
        std::vector<std::string> entries;
        for (std::string entry; std::getline(file, entry, '\0');)
            entries.push_back(entry);
        return entries;
    }

    std::string scratch;
    std::string root;
};

TEST_F(Launcher, StartsTheRuntimeOnTheEntryScriptWithTheBundleAsSingleArguments) {
    placeRuntime("exit 0");
    auto run = launch({});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(recorded("arguments"), (std::vector<std::string>{root + "/Contents/Resources/runtime/node",
                                                               root + entryScript, "gui", "--app", root}));
    // Started with no environment at all, the child has none either.
    EXPECT_EQ(recorded("environment"), std::vector<std::string>{});
}

TEST_F(Launcher, PassesOnlyTheFixedVariablesInTheirOrder) {
    placeRuntime("exit 0");
    launch({"PATH=/usr/bin:/bin", "LC_CTYPE=C.UTF-8", "GH_TOKEN=secret", "LANG=zh_TW.UTF-8",
            "TMPDIR=", "LOGNAME=someone", "LC_ALL=C", "USER=someone", "NODE_OPTIONS=--require=/tmp/x.js",
            "HOME=/home/someone", "BROWSER=firefox", "SSH_AUTH_SOCK=/tmp/agent"});
    // An empty value is still passed on.
    EXPECT_EQ(recorded("environment"),
              (std::vector<std::string>{"HOME=/home/someone", "USER=someone", "LOGNAME=someone",
                                        "TMPDIR=", "LANG=zh_TW.UTF-8", "LC_CTYPE=C.UTF-8"}));

    // The names that locate the desktop session follow, so that the helper's dialogs and keychain are
    // reachable from the application.
    launch({"XAUTHORITY=/home/someone/.Xauthority", "HOME=/home/someone", "DISPLAY=:7",
            "WAYLAND_DISPLAY=wayland-0", "XDG_RUNTIME_DIR=/run/user/1000",
            "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus", "XDG_CONFIG_HOME=/elsewhere"});
    EXPECT_EQ(recorded("environment"),
              (std::vector<std::string>{
                  "HOME=/home/someone", "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus",
                  "XDG_RUNTIME_DIR=/run/user/1000", "DISPLAY=:7", "WAYLAND_DISPLAY=wayland-0",
                  "XAUTHORITY=/home/someone/.Xauthority"}));

    // Then the input method, the screen's scale and the launch's startup notification, which the helper's
    // dialogs take from the desktop; the toolkit's other switches stay out.
    launch({"XDG_ACTIVATION_TOKEN=token-1", "GDK_BACKEND=x11", "GDK_DPI_SCALE=1.5", "GTK_IM_MODULE=fcitx",
            "GTK_USE_PORTAL=0", "DISPLAY=:7", "QT_IM_MODULE=fcitx", "GDK_SCALE=2", "XMODIFIERS=@im=fcitx",
            "DESKTOP_STARTUP_ID=launch-1", "GTK_THEME=Adwaita:dark", "GTK_MODULES=hostile"});
    EXPECT_EQ(recorded("environment"),
              (std::vector<std::string>{"DISPLAY=:7", "GTK_IM_MODULE=fcitx", "XMODIFIERS=@im=fcitx",
                                        "GDK_SCALE=2", "GDK_DPI_SCALE=1.5", "DESKTOP_STARTUP_ID=launch-1",
                                        "XDG_ACTIVATION_TOKEN=token-1"}));
}

TEST_F(Launcher, FailuresWithoutADisplayStillEndWithStatusZero) {
    for (const std::string end : {"exit 1", "kill -KILL $$", ""}) {
        if (end.empty())
            fs::remove(root + "/Contents/Resources/runtime/node");
        else
            placeRuntime(end);
        auto run = launch(environmentWithoutDisplay());
        EXPECT_EQ(run.exitStatus, 0) << end;
        EXPECT_FALSE(run.timedOut) << end;
        EXPECT_EQ(run.err, "");
    }
}

// The descriptors of a running process other than the script a shell reads.
std::string descriptorsOf(pid_t pid, const std::string& script) {
    std::string names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        if (fs::read_symlink(entry.path(), error) != script)
            names += entry.path().filename().string() + " ";
    }
    return names;
}

// Started by a caller that left descriptors 7 and 8 open and SIGINT ignored, the runtime still gets
// only its three standard descriptors and default signals; a request to stop reaches it, and the
// launcher waits for it to end and exits 0.
TEST_F(Launcher, TheRuntimeGetsOnlyStandardDescriptorsDefaultSignalsAndStopRequests) {
    // The shell keeps its own signal mask while it waits, so its first command reports the one it got.
    placeRuntime("/bin/grep -E '^Sig(Blk|Ign)' /proc/self/status > \"$4/signals\"\n"
                 "for stop in TERM INT HUP; do trap \"echo $stop > \\\"$4/stopped\\\"; exit 0\" $stop; done\n"
                 ": > \"$4/ready\"\n"
                 "while :; do /bin/sleep 0.1; done");
    const std::string script = root + "/Contents/Resources/runtime/node";
    const std::pair<const char*, int> stops[] = {{"TERM", SIGTERM}, {"INT", SIGINT}, {"HUP", SIGHUP}};
    for (const auto& [name, signal] : stops) {
        fs::remove(root + "/ready");
        fs::remove(root + "/stopped");
        auto launcher = startInBackground(
            "/bin/sh",
            {"-c", "exec 7</dev/null 8</dev/null; exec /usr/bin/env --ignore-signal=INT \"$0\"",
             root + "/Contents/MacOS/Dovrel"},
            "", environmentWithoutDisplay());
        ASSERT_TRUE(eventually([&] { return fs::exists(root + "/ready"); })) << name;
        auto runtime = childrenOf(launcher.pid);
        ASSERT_EQ(runtime.size(), 1u);
        EXPECT_EQ(descriptorsOf(runtime[0], script), "0 1 2 ");
        kill(launcher.pid, signal);
        auto end = collectChild(launcher.process.get());
        EXPECT_FALSE(end.bySignal) << name;
        EXPECT_EQ(end.status, 0) << name;
        EXPECT_EQ(recorded("stopped"), std::vector<std::string>{std::string(name) + "\n"});
        EXPECT_EQ(recorded("signals"),
                  std::vector<std::string>{"SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"});
    }
}

class LauncherAlerts : public Launcher {
protected:
    void SetUp() override {
        SKIP_OUTSIDE_SESSION_SERVICES();
        Launcher::SetUp();
    }

    struct Shown {
        std::string message;
        std::string informative;
        ProgramRun run;
    };

    // Starts the launcher, reads the alert it shows and dismisses it with Return.
    Shown alert() {
        Shown shown;
        shown.run =
            runWithWindow({.program = root + "/Contents/MacOS/Dovrel"}, [&](const std::string& window) {
                // Backwards from the button: the informative text, then the message.
                shown.informative = copiedText(window, {"shift+Tab", "ctrl+c"});
                shown.message = copiedText(window, {"shift+Tab", "ctrl+c"});
                pressKeys(window, {"Return"});
            });
        EXPECT_EQ(shown.run.exitStatus, 0);
        EXPECT_EQ(shown.run.out, "");
        EXPECT_EQ(shown.run.err, "");
        return shown;
    }
};

TEST_F(LauncherAlerts, AMissingRuntimeIsReportedAsAnIncompleteInstallation) {
    auto shown = alert();
    EXPECT_EQ(shown.message, "Dovrel 尚未完整安裝");
    EXPECT_EQ(shown.informative, "請重新放入完整的 Dovrel.app，再開啟一次。");

    // A runtime that cannot be executed is no better than a missing one.
    std::ofstream(root + "/Contents/Resources/runtime/node") << "not a program\n";
    EXPECT_EQ(alert().message, "Dovrel 尚未完整安裝");
}

TEST_F(LauncherAlerts, AFailedEndIsReportedWithTheSupportAddress) {
    for (const std::string end : {"exit 1", "exit 255", "kill -TERM $$"}) {
        placeRuntime(end);
        auto shown = alert();
        EXPECT_EQ(shown.message, "Dovrel 尚未啟動") << end;
        EXPECT_EQ(shown.informative,
                  "請確認這是 M 系列 Mac，並將 Dovrel 放在應用程式資料夾。若仍無法啟動，請聯絡 "
                  "support@dovrel.ai。")
            << end;
    }
}

TEST_F(LauncherAlerts, ANormalEndShowsNothing) {
    placeRuntime("exit 0");
    // An alert would keep the launcher waiting for the user until the time limit.
    auto run = runProgram({.program = root + "/Contents/MacOS/Dovrel"});
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.err, "");
}

// Where SIGCHLD is ignored the kernel collects ended children itself, and their statuses are lost.
// Started so, the launcher still learns that the runtime ended well and shows no alert: it ends instead
// of opening a window.
TEST_F(LauncherAlerts, AnIgnoredChildEndSignalStillLetsANormalEndBeSeen) {
    placeRuntime("exit 0");
    ASSERT_TRUE(awaitNoWindow("Dovrel"));
    auto launcher = startInBackground(
        "/usr/bin/env", {"--ignore-signal=CHLD", root + "/Contents/MacOS/Dovrel"}, "", environmentWith({}));
    std::string window;
    ASSERT_TRUE(eventually([&] {
        pollfd end{launcher.process.get(), POLLIN, 0};
        if (poll(&end, 1, 0) == 1)
            return true;
        window = visibleWindow({"--class", "Dovrel"});
        return !window.empty();
    }));
    if (!window.empty())
        pressKeys(window, {"Return"});
    auto end = collectChild(launcher.process.get());
    EXPECT_EQ(window, "") << "an alert after a normal end";
    EXPECT_FALSE(end.bySignal);
    EXPECT_EQ(end.status, 0);
}

} // namespace
