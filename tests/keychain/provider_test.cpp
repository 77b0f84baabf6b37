// Credential records against each Secret Service provider a Linux desktop has: gnome-keyring, KeePassXC
// and KWallet, each started here on a private bus of its own with a throw-away store, shown on the test
// session's display. One set of cases runs against all three.
#include "tests/dialogs/dialog_driver.h"
#include "tests/github/github_test_support.h"

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
const std::string password = "throwaway";

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

ProgramRun run(const std::string& program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment, const std::string& input = "") {
    return runProgram(
        {.program = program, .arguments = arguments, .input = input, .environment = environment});
}

// The part of gdbus's answer between the first pair of quotes: an object path.
std::string quoted(const std::string& reply) {
    auto start = reply.find('\'');
    return start == std::string::npos ? "/"
                                      : reply.substr(start + 1, reply.find('\'', start + 1) - start - 1);
}

enum class Kind { gnomeKeyring, keepassxc, kwallet };

struct ProviderCase {
    Kind kind;
    const char* name;
    const char* program;
};

// One provider on its own bus: started in SetUp with an unlocked store, stopped in TearDown.
class Provider : public ::testing::TestWithParam<ProviderCase> {
protected:
    void SetUp() override {
        if (!insideSessionServices() || std::getenv("DISPLAY") == nullptr)
            GTEST_SKIP() << "needs the display of scripts/with-session-services";
        if (!std::filesystem::exists(GetParam().program))
            GTEST_SKIP() << "needs " << GetParam().program;
        scratch = makeScratchFolder("dovrel-provider");
        std::filesystem::create_directories(scratch + "/runtime");
        std::filesystem::permissions(scratch + "/runtime", std::filesystem::perms::owner_all);
        auto bus = run("/usr/bin/dbus-daemon", {"--session", "--fork", "--print-address=1", "--print-pid=1"},
                       environmentWith({"HOME=" + scratch}));
        ASSERT_EQ(bus.exitStatus, 0) << bus.err;
        address = firstLine(bus.out);
        busPid = std::stoi(bus.out.substr(bus.out.find('\n') + 1));
        environment =
            environmentWith({"DBUS_SESSION_BUS_ADDRESS=" + address, "HOME=" + scratch,
                             "XDG_RUNTIME_DIR=" + scratch + "/runtime", "XDG_CONFIG_HOME", "XDG_DATA_HOME"});
        // Whatever the bus starts (gnome-keyring's prompter) sees the display, as on a desktop.
        gdbus({"call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
               "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.UpdateActivationEnvironment",
               std::string("{'DISPLAY': '") + std::getenv("DISPLAY") + "', 'HOME': '" + scratch +
                   "', 'DBUS_SESSION_BUS_ADDRESS': '" + address + "'}"});
        switch (GetParam().kind) {
        case Kind::gnomeKeyring:
            startGnomeKeyring();
            break;
        case Kind::keepassxc:
            startKeePassXC();
            break;
        case Kind::kwallet:
            startKWallet();
            break;
        }
        awaitStore();
    }
    void TearDown() override {
        // Killed outright: KeePassXC does not quit on SIGTERM while one of its windows is open, and a
        // window left on the display would take the next case's keys.
        if (daemonPid > 0)
            kill(daemonPid, SIGKILL);
        if (busPid > 0)
            kill(busPid, SIGTERM);
        if (!scratch.empty()) {
            if (HasFailure()) {
                std::ifstream log(scratch + "/provider.log");
                std::cout << GetParam().name << "'s output:\n" << log.rdbuf();
            }
            std::error_code ignored;
            std::filesystem::remove_all(scratch, ignored);
        }
    }

    // The provider's default store, unlocked.
    void awaitStore() {
        ASSERT_EQ(gdbus({"wait", "--session", "--timeout", "240", "org.freedesktop.secrets"}).exitStatus, 0);
        auto pid = gdbus({"call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                          "/org/freedesktop/DBus", "--method",
                          "org.freedesktop.DBus.GetConnectionUnixProcessID", "org.freedesktop.secrets"});
        daemonPid = std::stoi(pid.out.substr(pid.out.find(' ') + 1));
        // KeePassXC's collection comes once its key is derived, and unlocks once it has opened the database
        // with the password it was given; KWallet's wallet opens on first unlock.
        ASSERT_TRUE(eventually(
            [&] { return collection() != "/" && (GetParam().kind != Kind::keepassxc || !isLocked()); }));
        if (isLocked())
            unlockThroughPrompt();
    }

    void restart(const std::function<void()>& start) {
        kill(daemonPid, SIGKILL);
        ASSERT_TRUE(eventually([&] {
            return gdbus({"call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                          "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner",
                          "org.freedesktop.secrets"})
                       .out.find("false") != std::string::npos;
        }));
        start();
        awaitStore();
    }

    void startGnomeKeyring() {
        run("/usr/bin/setsid",
            {"sh", "-c", "gnome-keyring-daemon --unlock --components=secrets >\"$0/provider.log\" 2>&1",
             scratch},
            environment, password);
    }
    // KeePassXC asks before a client's deletion only when both its confirmations are on: the Secret
    // Service's and that of a move to its recycle bin, where a deleted entry goes.
    void startKeePassXC(bool confirmDeletion = false) {
        writeFile(scratch + "/database.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<KeePassFile><Meta><DatabaseName>throwaway</DatabaseName><CustomData><Item>
<Key>FDO_SECRETS_EXPOSED_GROUP</Key><Value>{00000000-0000-0000-0000-000000000001}</Value>
</Item></CustomData></Meta>
<Root><Group><UUID>AAAAAAAAAAAAAAAAAAAAAQ==</UUID><Name>throwaway</Name></Group></Root></KeePassFile>
)");
        std::string confirm = confirmDeletion ? "true" : "false", skip = confirmDeletion ? "false" : "true";
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
ConfirmDeleteItem=)" + confirm + R"(
ShowNotification=false
[Security]
NoConfirmMoveEntryToRecycleBin=)" + skip + "\n");
        writeFile(scratch + "/password", password + "\n");
        // Without a controlling terminal: both programs would otherwise stop on it.
        auto imported = run("/usr/bin/setsid",
                            {"keepassxc-cli", "import", "-q", "-p", "-t", "100", scratch + "/database.xml",
                             scratch + "/database.kdbx"},
                            environment, password + "\n" + password + "\n");
        ASSERT_EQ(imported.exitStatus, 0) << imported.err;
        run("/usr/bin/setsid",
            {"sh", "-c",
             "keepassxc --config \"$0/keepassxc.ini\" --localconfig \"$0/local.ini\" --pw-stdin "
             "\"$0/database.kdbx\" <\"$0/password\" >\"$0/provider.log\" 2>&1 &",
             scratch},
            environment);
    }
    // A wallet that kwalletd made once through its own window, with the throw-away password.
    void startKWallet() {
        std::filesystem::create_directories(scratch + "/.config");
        std::filesystem::create_directories(scratch + "/.local/share/kwalletd");
        for (const char* file : {"kdewallet.kwl", "kdewallet.salt"})
            std::filesystem::copy_file(std::string(DOVREL_TEST_SOURCE) + "/tests/fixtures/kwallet/" + file,
                                       scratch + "/.local/share/kwalletd/" + file,
                                       std::filesystem::copy_options::skip_existing);
        writeFile(scratch + "/.config/kwalletrc", R"([Wallet]
First Use=false
Enabled=true
Close When Idle=false
Use One Wallet=true
Default Wallet=kdewallet
[org.freedesktop.secrets]
apiEnabled=true
)");
        run("/usr/bin/setsid", {"sh", "-c", "kwalletd5 >\"$0/provider.log\" 2>&1 &", scratch},
            environmentWith({"DBUS_SESSION_BUS_ADDRESS=" + address, "HOME=" + scratch,
                             "XDG_RUNTIME_DIR=" + scratch + "/runtime", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                             "QT_QPA_PLATFORM=xcb"}));
    }

    ProgramRun gdbus(const std::vector<std::string>& arguments) {
        return run("/usr/bin/gdbus", arguments, environment);
    }
    std::string callService(const std::string& path, const std::string& method,
                            const std::vector<std::string>& arguments) {
        std::vector<std::string> call = {"call",          "--session", "--dest",   "org.freedesktop.secrets",
                                         "--object-path", path,        "--method", method};
        call.insert(call.end(), arguments.begin(), arguments.end());
        return gdbus(call).out;
    }
    std::string collection() {
        return quoted(
            callService("/org/freedesktop/secrets", "org.freedesktop.Secret.Service.ReadAlias", {"default"}));
    }
    bool isLocked(const std::string& path = "") {
        return callService(path.empty() ? collection() : path, "org.freedesktop.DBus.Properties.Get",
                           {"org.freedesktop.Secret.Collection", "Locked"})
                   .find("true") != std::string::npos;
    }
    // Locks the store through the Secret Service, answering the prompt KeePassXC makes of it.
    void lock() {
        // KWallet's own close ends every program's hold on the wallet, as its tray's "close" does.
        if (GetParam().kind == Kind::kwallet) {
            gdbus({"call", "--session", "--dest", "org.kde.kwalletd5", "--object-path", "/modules/kwalletd5",
                   "--method", "org.kde.KWallet.close", "kdewallet", "true"});
            return;
        }
        auto reply = callService("/org/freedesktop/secrets", "org.freedesktop.Secret.Service.Lock",
                                 {"['" + collection() + "']"});
        auto prompt = reply.find("/org/freedesktop/secrets/prompt/");
        if (prompt != std::string::npos)
            callService(reply.substr(prompt, reply.find('\'', prompt) - prompt),
                        "org.freedesktop.Secret.Prompt.Prompt", {""});
        ASSERT_TRUE(eventually([&] { return isLocked(); }));
    }

    // What the provider's prompts are found by: for the store's password, and for a new store.
    std::vector<std::string> promptCriteria() {
        switch (GetParam().kind) {
        case Kind::gnomeKeyring:
            return {"--class", "gcr-prompter"};
        case Kind::keepassxc:
            return {"--name", "^(Unlock Database|Create a new KeePassXC database)"};
        case Kind::kwallet:
            break;
        }
        return {"--class", "kwalletd5"};
    }
    // The prompt's window once it shows and has the focus, which the keys typed into it need.
    std::string promptWindow() {
        std::string window;
        EXPECT_TRUE(eventually([&] {
            window = visibleWindow(promptCriteria());
            return !window.empty();
        }));
        EXPECT_TRUE(becameActive(window));
        return window;
    }
    // Any window of KWallet's would be a prompt.
    bool promptShown() {
        auto criteria = GetParam().kind == Kind::kwallet
                            ? std::vector<std::string>{"--pid", std::to_string(daemonPid)}
                            : promptCriteria();
        return !visibleWindow(criteria).empty();
    }
    void answerPrompt(const std::string& window) {
        typeText(window, password);
        pressKeys(window, {"Return"});
    }
    // The person makes a new store with the throw-away password. kwalletd first asks for the kind of wallet,
    // neither of which takes the keyboard's focus: the classic one is clicked; the password window follows.
    void answerCreation(std::string window) {
        if (GetParam().kind == Kind::kwallet) {
            run("/bin/sh",
                {"-c",
                 "eval $(xdotool getwindowgeometry --shell $0) && xdotool mousemove --sync "
                 "$((X + 107)) $((Y + 147)) click 1 key Return",
                 window},
                environmentWith({}));
            ASSERT_TRUE(eventually([&, first = window] {
                return !(window = visibleWindow(promptCriteria())).empty() && window != first;
            }));
            ASSERT_TRUE(becameActive(window));
        }
        typeText(window, password);
        pressKeys(window, {"Tab"});
        answerPrompt(window);
    }
    // Another client (a desktop's own) unlocks the store, the person typing the password.
    // gnome-keyring asks only where the default keyring must be open, as for a write.
    void unlockThroughPrompt() {
        auto opened = std::async(std::launch::async, [&] {
            if (GetParam().kind == Kind::kwallet)
                return gdbus({"call", "--session", "--dest", "org.kde.kwalletd5", "--object-path",
                              "/modules/kwalletd5", "--method", "org.kde.KWallet.open", "kdewallet", "0",
                              "another"});
            // gnome-keyring dismisses a prompt whose caller has gone, so the caller waits it out.
            return runProgram({.program = bundleProgram("helper"),
                               .input = writeRequest(std::string(64, '0'), R"({"k":"v"})"),
                               .environment = environmentWith({"DBUS_SESSION_BUS_ADDRESS=" + address})});
        });
        answerPrompt(promptWindow());
        opened.get();
        ASSERT_TRUE(eventually([&] { return !isLocked() || GetParam().kind == Kind::kwallet; }));
    }

    struct Answer {
        std::string reply;
        double seconds = 0;
    };
    Answer ask(const std::string& request, bool display = true,
               std::chrono::milliseconds limit = std::chrono::milliseconds(hangLimit)) {
        auto changes = std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + address};
        if (!display)
            changes.insert(changes.end(), {"DISPLAY", "WAYLAND_DISPLAY"});
        auto start = Clock::now();
        auto answer = runProgram({.program = bundleProgram("helper"),
                                  .input = request,
                                  .environment = environmentWith(changes),
                                  .timeout = limit});
        EXPECT_FALSE(answer.timedOut) << request;
        return {answer.out, std::chrono::duration<double>(Clock::now() - start).count()};
    }
    std::string reply(const std::string& request) { return ask(request).reply; }

    std::string scratch, address;
    std::vector<std::string> environment;
    int busPid = 0, daemonPid = 0;
};

const std::string done = R"({"ok":true})";

TEST_P(Provider, KeepsEveryValueAsWrittenOrRefusesIt) {
    const std::string account(64, '5'), other(64, '6');
    EXPECT_EQ(reply(request("exists", account)), R"({"exists":false,"ok":true})");
    EXPECT_EQ(reply(request("remove", account)), done);
    EXPECT_EQ(reply(request("read", account)), failureReplyText);
    // Values that look like the providers' own placeholders and field references. A write is
    // acknowledged only when the record holds them exactly; otherwise the record is as it was.
    for (const std::string values : {R"({"a":"x{TITLE}y","b":"{PASSWORD}","c":"\/名"})",
                                     R"({"a":"{REF:P@I:0}"})", R"({"a":"x{REF:U@T:nothing}y","b":"1"})"}) {
        const std::string& record = values.find("REF") == std::string::npos ? account : other;
        auto written = reply(writeRequest(record, values));
        std::printf("%s: write %s answered %s\n", GetParam().name, values.c_str(), written.c_str());
        if (written == done) {
            EXPECT_EQ(reply(request("read", record)), R"({"ok":true,"values":)" + values + "}");
        } else {
            EXPECT_EQ(reply(request("exists", record)), R"({"exists":false,"ok":true})") << values;
        }
    }
    EXPECT_EQ(reply(writeRequest(account, R"({"second":"only"})")), done);
    auto refused = reply(writeRequest(account, R"({"a":"{REF:P@I:0}"})"));
    if (refused != done) {
        EXPECT_EQ(reply(request("read", account)), R"({"ok":true,"values":{"second":"only"}})");
    }
    EXPECT_EQ(reply(writeRequest(account, R"({"second":"only"})")), done);
    EXPECT_EQ(reply(request("read", account)), R"({"ok":true,"values":{"second":"only"}})");
    EXPECT_EQ(reply(request("remove", account)), done);
    EXPECT_EQ(reply(request("exists", account)), R"({"exists":false,"ok":true})");

    // Concurrent writes, reads, existence checks and removals of the same records: in an unlocked store
    // only a read of a record just removed may fail. gnome-keyring meets them at scale in the load test.
    if (GetParam().kind == Kind::gnomeKeyring)
        return;
    constexpr int runs = 60;
    std::vector<std::future<std::pair<std::string, std::string>>> pending;
    for (int index = 0; index < runs; ++index) {
        pending.push_back(std::async(std::launch::async, [&, index] {
            auto record = std::string(63, 'c') + char('0' + index % 3);
            const char* operation = std::array{"write", "read", "exists", "remove"}[index % 4];
            auto call = index % 4 == 0 ? writeRequest(record, R"({"n":")" + std::to_string(index) + "\"}")
                                       : request(operation, record);
            return std::pair(std::string(operation), reply(call));
        }));
    }
    // Under this load KeePassXC now and then asks the person to allow a run's access to an item, although
    // its confirmation is off; the person allows it.
    std::atomic<bool> finished = false;
    int allowed = 0;
    auto person = std::async(std::launch::async, [&] {
        while (!finished) {
            auto windows = run("/usr/bin/xdotool", {"search", "--onlyvisible", "--name", "Access Request$"},
                               environmentWith({}))
                               .out;
            for (std::size_t start = 0; start < windows.size(); start = windows.find('\n', start) + 1) {
                pressKeys(windows.substr(start, windows.find('\n', start) - start), {"Return"});
                ++allowed;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    std::map<std::string, int> refusals;
    for (auto& answer : pending) {
        auto [operation, answered] = answer.get();
        refusals[operation] += answered == failureReplyText ? 1 : 0;
    }
    finished = true;
    person.get();
    bool crashed = kill(daemonPid, 0) != 0;
    std::printf(
        "%s: %d concurrent runs, refused: write %d, read %d, exists %d, remove %d; %d access requests "
        "allowed%s\n",
        GetParam().name, runs, refusals["write"], refusals["read"], refusals["exists"], refusals["remove"],
        allowed, crashed ? "; the provider crashed (its own known fault)" : "");
    if (GetParam().kind != Kind::keepassxc) {
        EXPECT_EQ(refusals["write"] + refusals["exists"] + refusals["remove"], 0);
        EXPECT_FALSE(crashed);
    }
}

// Without a display nobody can unlock: every operation is refused at once, no window appears on the
// provider's screen, and the records are untouched. A limit of a minute, not the hang limit, so that a
// run waiting on a window fails this case quickly.
TEST_P(Provider, LockedWithoutDisplayIsRefusedBeforeAnyWindow) {
    const std::string account(64, '7'), absent(64, '8');
    ASSERT_EQ(reply(writeRequest(account, R"({"k":"v"})")), done);
    lock();
    for (const auto& call : {request("exists", account), request("exists", absent), request("read", account),
                             writeRequest(account, R"({"k":"w"})"), writeRequest(absent, R"({"k":"w"})"),
                             request("remove", account)}) {
        auto answer = ask(call, false, std::chrono::minutes(1));
        // gnome-keyring names what its locked keyrings hold: it tells an absent record without a window.
        bool told = GetParam().kind == Kind::gnomeKeyring && call == request("exists", absent);
        EXPECT_EQ(answer.reply, told ? R"({"exists":false,"ok":true})" : failureReplyText) << call;
        std::printf("%s locked, no display: %s answered %s in %.3f s\n", GetParam().name,
                    call.substr(0, 24).c_str(), answer.reply.c_str(), answer.seconds);
    }
    // The throw-away item that proves the keychain before a sign-in is refused the same way.
    auto bundle = copyBundle({}, {"github_cli_probe"});
    auto prepared = runProgram({.program = bundle.program("github_cli_probe"),
                                .arguments = {"prepare"},
                                .environment = environmentWith({"DISPLAY", "WAYLAND_DISPLAY",
                                                                "HOME=" + makeScratchFolder("dovrel-home"),
                                                                "DBUS_SESSION_BUS_ADDRESS=" + address})});
    EXPECT_EQ(prepared.out, "refused\n");
    EXPECT_FALSE(promptShown());
    // Nothing was left waiting in the provider: once unlocked, the record is as it was, and no probe stayed.
    unlockThroughPrompt();
    EXPECT_EQ(reply(request("read", account)), R"({"ok":true,"values":{"k":"v"}})");
    EXPECT_EQ(reply(request("exists", absent)), R"({"exists":false,"ok":true})");
    EXPECT_EQ(run("/usr/bin/secret-tool", {"search", "--all", "service", "ai.dovrel.git-keychain-check"},
                  environment)
                  .out,
              "");
    EXPECT_EQ(reply(request("remove", account)), done);
}

// With a display the person is asked, and waited for however long they take; a dismissed prompt is a
// refusal.
TEST_P(Provider, LockedAsksThePersonAndWaitsForThem) {
    const std::string account(64, '9');
    ASSERT_EQ(reply(writeRequest(account, R"({"k":"v"})")), done);
    lock();
    for (const auto& call : {request("exists", account), request("read", account),
                             writeRequest(account, R"({"k":"w"})"), request("remove", account)}) {
        auto dismissed = std::async(std::launch::async, [&] { return reply(call); });
        pressKeys(promptWindow(), {"Escape"});
        EXPECT_EQ(dismissed.get(), failureReplyText) << call;
        ASSERT_TRUE(eventually([&] { return !promptShown(); }));
    }

    auto late = std::async(std::launch::async, [&] { return ask(request("read", account)); });
    auto window = promptWindow();
    std::this_thread::sleep_for(std::chrono::seconds(15));
    answerPrompt(window);
    auto answer = late.get();
    EXPECT_EQ(answer.reply, R"({"ok":true,"values":{"k":"v"}})");
    std::printf("%s locked, prompt answered after 15 s: read answered %s in %.3f s\n", GetParam().name,
                answer.reply.c_str(), answer.seconds);
    lock();
    auto removal = std::async(std::launch::async, [&] { return reply(request("remove", account)); });
    answerPrompt(promptWindow());
    EXPECT_EQ(removal.get(), done);
    EXPECT_EQ(reply(request("exists", account)), R"({"exists":false,"ok":true})");
}

// With no store, only a write asks, in the provider's window: dismissed, nothing is made; answered once for
// two writes at once, one store serves both. KeePassXC's wizard takes keys only once drawn: it is dismissed.
TEST_P(Provider, FirstRunMakesTheStoreWithThePerson) {
    const std::string account(64, 'd'), other(64, 'e'), values = R"({"k":"v"})";
    auto kind = GetParam().kind;
    // Without its store, deleted (KeePassXC closes the database, after a prompt), as on a first session.
    callService(quoted(callService(collection(), "org.freedesktop.Secret.Collection.Delete", {})),
                "org.freedesktop.Secret.Prompt.Prompt", {""});
    ASSERT_TRUE(eventually([&] { return collection() == "/"; }));
    EXPECT_EQ(reply(request("exists", account)), R"({"exists":false,"ok":true})");
    EXPECT_EQ(reply(request("read", account)), failureReplyText);
    EXPECT_EQ(reply(request("remove", account)), done);
    EXPECT_EQ(ask(writeRequest(account, values), false).reply, failureReplyText);
    // gnome-keyring's alias may name its in-memory collection, where nothing outlasts a logout and for which
    // it would show no creation window: refused at once, with a display too.
    if (kind == Kind::gnomeKeyring) {
        const std::string service = "/org/freedesktop/secrets", memory = service + "/collection/session";
        callService(service, "org.freedesktop.Secret.Service.SetAlias", {"default", memory});
        EXPECT_EQ(reply(writeRequest(account, values)), failureReplyText);
        callService(service, "org.freedesktop.Secret.Service.SetAlias", {"default", "/"});
    }
    EXPECT_FALSE(promptShown());
    auto write = [&](const std::string& record) {
        return std::async(std::launch::async, [&, record] { return ask(writeRequest(record, values)); });
    };
    auto dismissed = write(account);
    pressKeys(promptWindow(), {"Escape"});
    EXPECT_EQ(dismissed.get().reply, failureReplyText);
    EXPECT_EQ(collection(), "/");
    EXPECT_TRUE(eventually([&] { return !promptShown(); }));
    if (kind == Kind::keepassxc)
        return;
    auto first = write(account), second = write(other);
    // gnome-keyring keeps the dismissed prompt, p1, beside one for each run once both wait.
    EXPECT_TRUE(kind != Kind::gnomeKeyring || eventually([&] {
                    return callService("/org/freedesktop/secrets/prompt/p3",
                                       "org.freedesktop.DBus.Introspectable.Introspect", {})
                               .find("Secret.Prompt") != std::string::npos;
                }));
    answerCreation(promptWindow());
    EXPECT_EQ(first.get().reply + second.get().reply, done + done);
    EXPECT_EQ(reply(writeRequest(account, R"({"k":"w"})")), done);
    EXPECT_EQ(reply(request("read", account)), R"({"ok":true,"values":{"k":"w"}})");
    EXPECT_EQ(reply(request("read", other)), R"({"ok":true,"values":{"k":"v"}})");
    // One store made, beside gnome-keyring's session collection: two quoted paths, or one.
    auto made = callService("/org/freedesktop/secrets", "org.freedesktop.DBus.Properties.Get",
                            {"org.freedesktop.Secret.Service", "Collections"});
    EXPECT_EQ(std::count(made.begin(), made.end(), '\''), kind == Kind::gnomeKeyring ? 4 : 2) << made;
}

// A second store left locked beside the open default one is not opened for the open one's records, served
// without a display. Only gnome-keyring, naming what a locked keyring holds, tells a record is nowhere.
TEST_P(Provider, SecondStoreLeftLockedIsNotOpened) {
    const std::string account(64, 'f'), absent(64, '1'), old = "/org/freedesktop/secrets/collection/old";
    auto kind = GetParam().kind;
    // Copies of the store's files while they hold nothing: another store with the same password.
    for (const char* file : {"/.local/share/keyrings/login.keyring", "/.local/share/kwalletd/kdewallet.kwl",
                             "/.local/share/kwalletd/kdewallet.salt", "/database.kdbx"})
        if (std::filesystem::path store = scratch + file; std::filesystem::exists(store))
            std::filesystem::copy_file(store, store.parent_path() / ("old" + store.extension().string()));
    ASSERT_EQ(reply(writeRequest(account, R"({"k":"v"})")), done);
    // KeePassXC keeps a database opened without its password locked; the others load the copy locked as they
    // start. kwalletd writes a wallet out as it closes it; the record's wallet, opened again as the store
    // starts, stays reported locked beside the closed one, and opens without a window.
    if (kind == Kind::keepassxc) {
        gdbus({"call", "--session", "--dest", "org.keepassxc.KeePassXC.MainWindow", "--object-path",
               "/keepassxc", "--method", "org.keepassxc.KeePassXC.MainWindow.openDatabase",
               scratch + "/old.kdbx"});
    } else {
        lock();
        restart([&] { kind == Kind::kwallet ? startKWallet() : startGnomeKeyring(); });
    }
    ASSERT_TRUE(eventually([&] { return isLocked(old); }));
    // KeePassXC asks through a prompt for every deletion, which without a display is not shown.
    bool names = kind == Kind::gnomeKeyring;
    for (const auto& [call, expected] : std::vector<std::pair<std::string, std::string>>{
             {request("exists", account), R"({"exists":true,"ok":true})"},
             {request("read", account), R"({"ok":true,"values":{"k":"v"}})"},
             {writeRequest(account, R"({"k":"w"})"), done},
             {request("remove", account), kind == Kind::keepassxc ? "" : done},
             {request("exists", absent), names ? R"({"exists":false,"ok":true})" : failureReplyText},
             {writeRequest(absent, R"({"k":"w"})"), names ? done : failureReplyText},
             {request("remove", absent), names ? done : failureReplyText}}) {
        auto answered = ask(call, false).reply;
        EXPECT_TRUE(expected.empty() || answered == expected) << call << " answered " << answered;
    }
    EXPECT_FALSE(promptShown());
}

// KWallet reports a wallet that another program opened as locked, and unlocks it without a prompt: the
// helper carries on without a display.
TEST_P(Provider, OpenedByAnotherClientServesWithoutDisplay) {
    if (GetParam().kind != Kind::kwallet)
        GTEST_SKIP() << "only KWallet reports an open store as locked";
    const std::string account(64, 'a');
    lock();
    unlockThroughPrompt();
    for (const auto& [call, expected] : std::vector<std::pair<std::string, std::string>>{
             {writeRequest(account, R"({"k":"v"})"), done},
             {request("exists", account), R"({"exists":true,"ok":true})"},
             {request("read", account), R"({"ok":true,"values":{"k":"v"}})"},
             {request("remove", account), done}}) {
        auto answer = ask(call, false, std::chrono::minutes(1));
        EXPECT_EQ(answer.reply, expected);
        std::printf("%s opened elsewhere, no display: %s answered %s in %.3f s\n", GetParam().name,
                    call.substr(0, 24).c_str(), answer.reply.c_str(), answer.seconds);
    }
    // Each run makes its own encrypted session; one key exchange in 256 that kwalletd reads otherwise
    // would refuse a read now and then.
    ASSERT_EQ(reply(writeRequest(account, R"({"k":"v"})")), done);
    int refused = 0;
    for (int run = 0; run < 1000; ++run)
        refused += ask(request("read", account), false).reply != R"({"ok":true,"values":{"k":"v"}})";
    EXPECT_EQ(refused, 0);
}

// KeePassXC with its deletion confirmation on asks the person before it deletes a record: declined, the
// remove is refused and the record stays whole; accepted, the record is gone.
TEST_P(Provider, DeletionAskedOfThePersonFollowsTheirAnswer) {
    if (GetParam().kind != Kind::keepassxc)
        GTEST_SKIP() << "only KeePassXC asks before a client's deletion";
    ASSERT_NO_FATAL_FAILURE(restart([&] {
        std::filesystem::remove(scratch + "/database.kdbx");
        startKeePassXC(true);
    }));

    const std::string account(64, 'b'), values = R"({"k":"v","w":"x"})";
    ASSERT_EQ(reply(writeRequest(account, values)), done);
    auto confirmation = [] {
        return visibleWindow({"--name", "^Move entry to recycle bin"});
    };
    auto removeAnswering = [&](const std::vector<std::string>& keys) {
        EXPECT_TRUE(eventually([&] { return confirmation().empty(); }));
        auto removal = std::async(std::launch::async, [&] { return reply(request("remove", account)); });
        // Keys go to the window that has the focus, which the window manager gives a new window.
        std::string window;
        if (eventually([&] {
                window = confirmation();
                return !window.empty();
            }) &&
            becameActive(window))
            pressKeys(window, keys);
        else
            ADD_FAILURE() << "KeePassXC showed no confirmation";
        return removal.get();
    };
    EXPECT_EQ(removeAnswering({"Escape"}), failureReplyText);
    EXPECT_EQ(reply(request("read", account)), R"({"ok":true,"values":)" + values + "}");
    EXPECT_EQ(removeAnswering({"Tab", "space"}), done);
    EXPECT_EQ(reply(request("exists", account)), R"({"exists":false,"ok":true})");
}

INSTANTIATE_TEST_SUITE_P(Providers, Provider,
                         ::testing::Values(ProviderCase{Kind::gnomeKeyring, "gnome-keyring",
                                                        "/usr/bin/gnome-keyring-daemon"},
                                           ProviderCase{Kind::keepassxc, "KeePassXC", "/usr/bin/keepassxc"},
                                           ProviderCase{Kind::kwallet, "KWallet", "/usr/bin/kwalletd5"}),
                         [](const auto& info) {
                             return std::string(info.param.name == std::string("gnome-keyring")
                                                    ? "GnomeKeyring"
                                                    : info.param.name);
                         });

} // namespace
