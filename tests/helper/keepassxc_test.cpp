// Credential records against KeePassXC's Secret Service: a throw-away database on a private bus of its
// own, shown on the test session's display, with access confirmation off.
#include "tests/dialogs/dialog_driver.h"

#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <iostream>
#include <thread>

namespace {

const std::string password = "throwaway";

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

ProgramRun run(const std::string& program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment, const std::string& input = "") {
    return runProgram(
        {.program = program, .arguments = arguments, .input = input, .environment = environment});
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// KeePassXC with one database whose root group it serves as the default collection.
class KeePassXC : public ::testing::Test {
protected:
    void SetUp() override {
        if (!insideSessionServices() || std::getenv("DISPLAY") == nullptr)
            GTEST_SKIP() << "needs the display of scripts/with-session-services";
        if (!std::filesystem::exists("/usr/bin/keepassxc"))
            GTEST_SKIP() << "needs KeePassXC";
        scratch = makeScratchFolder("dovrel-keepassxc");
        writeFile(scratch + "/database.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<KeePassFile><Meta><DatabaseName>throwaway</DatabaseName><CustomData><Item>
<Key>FDO_SECRETS_EXPOSED_GROUP</Key><Value>{00000000-0000-0000-0000-000000000001}</Value>
</Item></CustomData></Meta>
<Root><Group><UUID>AAAAAAAAAAAAAAAAAAAAAQ==</UUID><Name>throwaway</Name></Group></Root></KeePassFile>
)");
        writeFile(scratch + "/keepassxc.ini", R"([General]
ConfigVersion=2
SingleInstance=false
RememberLastDatabases=false
[GUI]
CheckForUpdates=false
ShowTrayIcon=false
[FdoSecrets]
Enabled=true
ConfirmAccessItem=false
NoConfirmDeleteItem=true
ShowNotification=false
)");
        writeFile(scratch + "/password", password + "\n");
        // Without a controlling terminal: both programs would otherwise stop on it.
        auto imported = run("/usr/bin/setsid",
                            {"keepassxc-cli", "import", "-q", "-p", "-t", "100", scratch + "/database.xml",
                             scratch + "/database.kdbx"},
                            environmentWith({}), password + "\n" + password + "\n");
        ASSERT_EQ(imported.exitStatus, 0) << imported.err;

        auto bus = run("/usr/bin/dbus-daemon", {"--session", "--fork", "--print-address=1", "--print-pid=1"},
                       environmentWith({}));
        ASSERT_EQ(bus.exitStatus, 0) << bus.err;
        address = firstLine(bus.out);
        busPid = std::stoi(bus.out.substr(bus.out.find('\n') + 1));
        environment = environmentWith({"DBUS_SESSION_BUS_ADDRESS=" + address});
        auto started =
            run("/usr/bin/setsid",
                {"sh", "-c",
                 "keepassxc --config \"$0/keepassxc.ini\" --localconfig \"$0/local.ini\" --pw-stdin "
                 "\"$0/database.kdbx\" <\"$0/password\" >\"$0/keepassxc.log\" 2>&1 & echo $!",
                 scratch},
                environment);
        keepassxcPid = std::stoi(started.out);
        ASSERT_EQ(run("/usr/bin/gdbus", {"wait", "--session", "--timeout", "240", "org.freedesktop.secrets"},
                      environment)
                      .exitStatus,
                  0);
        // The name comes first, then the database's collection, locked until its key is derived.
        for (int attempt = 0; attempt < 2400 && (defaultCollection() == "/" || isLocked()); ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    void TearDown() override {
        if (keepassxcPid > 0)
            kill(keepassxcPid, SIGTERM);
        if (busPid > 0)
            kill(busPid, SIGTERM);
        if (!scratch.empty()) {
            if (HasFailure()) {
                std::ifstream log(scratch + "/keepassxc.log");
                std::cout << "KeePassXC's output:\n" << log.rdbuf();
            }
            std::error_code ignored;
            std::filesystem::remove_all(scratch, ignored);
        }
    }

    std::string secretService(const std::string& method, const std::string& argument) {
        auto reply = run("/usr/bin/gdbus",
                         {"call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
                          "/org/freedesktop/secrets", "--method", "org.freedesktop.Secret.Service." + method,
                          argument},
                         environment);
        return reply.out;
    }
    std::string defaultCollection() {
        auto reply = secretService("ReadAlias", "default");
        auto start = reply.find('\'');
        return start == std::string::npos ? "/"
                                          : reply.substr(start + 1, reply.find('\'', start + 1) - start - 1);
    }
    // Locks the database through the Secret Service, whose lock KeePassXC carries out as a prompt.
    void lockDatabase() {
        auto reply = secretService("Lock", "['" + defaultCollection() + "']");
        auto prompt = reply.find("/org/freedesktop/secrets/prompt/");
        ASSERT_NE(prompt, std::string::npos) << reply;
        run("/usr/bin/gdbus",
            {"call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
             reply.substr(prompt, reply.find('\'', prompt) - prompt), "--method",
             "org.freedesktop.Secret.Prompt.Prompt", ""},
            environment);
        // The lock takes effect after the prompt's answer.
        for (int attempt = 0; attempt < 2400 && !isLocked(); ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(isLocked());
    }
    bool isLocked() {
        auto reply = run("/usr/bin/gdbus",
                         {"call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
                          defaultCollection(), "--method", "org.freedesktop.DBus.Properties.Get",
                          "org.freedesktop.Secret.Collection", "Locked"},
                         environment);
        return reply.out.find("true") != std::string::npos;
    }

    std::string ask(const std::string& request, bool display = true) {
        auto changes = std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + address};
        if (!display)
            changes.insert(changes.end(), {"DISPLAY", "WAYLAND_DISPLAY"});
        auto answer = run(bundleProgram("helper"), {}, environmentWith(changes), request);
        EXPECT_FALSE(answer.timedOut) << request;
        return answer.out;
    }

    std::string scratch, address;
    std::vector<std::string> environment;
    int busPid = 0, keepassxcPid = 0;
};

std::string request(const std::string& operation, const std::string& account, const std::string& extra = "") {
    return R"({"operation":")" + operation + R"(","account":")" + account + "\"" + extra + "}";
}

TEST_F(KeePassXC, ServesRecordsAsTheKeyringDoesAndRefusesWhileLocked) {
    const std::string account(64, '5'), other(64, '6');
    ASSERT_FALSE(isLocked());
    EXPECT_EQ(ask(request("exists", account)), R"({"exists":false,"ok":true})");
    EXPECT_EQ(ask(request("remove", account)), R"({"ok":true})");
    // KeePassXC expands placeholders in text secrets; the stored form comes back as it was written.
    const std::string values = R"({"a":"x{TITLE}y","b":"{PASSWORD}","c":"\/名"})";
    EXPECT_EQ(ask(request("write", account, R"(,"values":)" + values)), R"({"ok":true})");
    EXPECT_EQ(ask(request("read", account)),
              R"({"ok":true,"values":{"a":"x{TITLE}y","b":"{PASSWORD}","c":"\/名"}})");
    EXPECT_EQ(ask(request("write", account, R"(,"values":{"second":"only"})")), R"({"ok":true})");
    EXPECT_EQ(ask(request("read", account)), R"({"ok":true,"values":{"second":"only"}})");
    EXPECT_EQ(ask(request("exists", account)), R"({"exists":true,"ok":true})");
    EXPECT_EQ(ask(request("read", other)), failureReplyText);

    // A locked database hides its items from searches: nothing found is then no answer, and without a
    // display nobody can be asked to unlock it.
    lockDatabase();
    for (const auto& call : {request("exists", account), request("exists", other), request("read", account),
                             request("write", account, R"(,"values":{"k":"v"})"), request("remove", account)})
        EXPECT_EQ(ask(call, false), failureReplyText) << call;
    // With the display, KeePassXC asks for the database's password, and the operation goes on.
    auto unlocking = std::async(std::launch::async, [&] { return ask(request("read", account)); });
    auto window =
        firstLine(run("/usr/bin/xdotool", {"search", "--sync", "--onlyvisible", "--name", "^Unlock Database"},
                      environmentWith({}))
                      .out);
    typeText(window, password);
    pressKeys(window, {"Return"});
    EXPECT_EQ(unlocking.get(), R"({"ok":true,"values":{"second":"only"}})");
    EXPECT_EQ(ask(request("remove", account)), R"({"ok":true})");
    EXPECT_EQ(ask(request("exists", account)), R"({"exists":false,"ok":true})");
}

} // namespace
