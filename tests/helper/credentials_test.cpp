// Credential records against the real Secret Service of the test session.
#include "platform/keychain/plugin.h"
#include "tests/support/run_program.h"

#include <dlfcn.h>

#include <future>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <random>

namespace {

class CredentialStore : public ::testing::Test {
protected:
    void SetUp() override { SKIP_OUTSIDE_SESSION_SERVICES(); }
};

std::string freshAccount() {
    static std::mt19937_64 random{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string account;
    for (int i = 0; i < 64; ++i)
        account += digits[random() % 16];
    return account;
}

std::string write(const std::string& account, const std::string& values) {
    return ask(writeRequest(account, values));
}

std::string secretTool(const std::vector<std::string>& arguments, const std::string& input = "") {
    auto run = runProgram({.program = "/usr/bin/secret-tool", .arguments = arguments, .input = input});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    return run.out;
}

TEST_F(CredentialStore, RecordLifecycle) {
    auto account = freshAccount();
    EXPECT_EQ(ask(request("exists", account)), R"({"exists":false,"ok":true})");
    EXPECT_EQ(ask(request("read", account)), failureReplyText);
    EXPECT_EQ(ask(request("remove", account)), R"({"ok":true})");

    EXPECT_EQ(write(account, R"({"token":"a/b","名":"值","q":"\"\\\n"})"), R"({"ok":true})");
    EXPECT_EQ(ask(request("exists", account, R"(,"values":{"ignored":"x"})")),
              R"({"exists":true,"ok":true})");
    EXPECT_EQ(ask(request("read", account)),
              R"({"ok":true,"values":{"q":"\"\\\n","token":"a\/b","名":"值"}})");

    // A write replaces the whole record; refused values leave it as it was.
    EXPECT_EQ(write(account, R"({"second":"only"})"), R"({"ok":true})");
    for (auto bad :
         {R"({})", R"({"n":1})", R"({"n":null})", R"({"n":["x"]})", R"({"n":{"x":"y"}})", R"("text")"})
        EXPECT_EQ(write(account, bad), failureReplyText) << bad;
    EXPECT_EQ(ask(request("write", account)), failureReplyText);
    EXPECT_EQ(ask(request("read", account)), R"({"ok":true,"values":{"second":"only"}})");

    auto other = freshAccount();
    EXPECT_EQ(ask(request("read", other)), failureReplyText);
    EXPECT_EQ(ask(request("Read", account)), failureReplyText);
    EXPECT_EQ(ask(request("remove", account)), R"({"ok":true})");
    EXPECT_EQ(ask(request("exists", account)), R"({"exists":false,"ok":true})");
}

TEST_F(CredentialStore, RefusesAccountsThatAreNotSixtyFourLowerCaseHexDigits) {
    auto account = freshAccount();
    for (const auto& bad : {account.substr(1), account + "0", "A" + account.substr(1),
                            "g" + account.substr(1), account.substr(1) + "\n", std::string(64, ' ')})
        EXPECT_EQ(write(bad, R"({"k":"v"})"), failureReplyText);
    EXPECT_EQ(ask(R"({"operation":"exists","account":7})"), failureReplyText);
}

TEST_F(CredentialStore, SharesItemsWithSecretTool) {
    auto account = freshAccount();
    EXPECT_EQ(write(account, R"({"k":"v"})"), R"({"ok":true})");
    auto listed = secretTool({"search", "service", "ai.dovrel.macos.credentials", "account", account});
    EXPECT_NE(listed.find("secret = {\"k\":\"v\"}"), std::string::npos) << listed;

    auto stored = freshAccount();
    secretTool(
        {"store", "--label=stored elsewhere", "service", "ai.dovrel.macos.credentials", "account", stored},
        R"({"from":"secret-tool"})");
    EXPECT_EQ(ask(request("read", stored)), R"({"ok":true,"values":{"from":"secret-tool"}})");
    EXPECT_EQ(write(stored, R"({"from":"helper"})"), R"({"ok":true})");
    EXPECT_EQ(secretTool({"lookup", "service", "ai.dovrel.macos.credentials", "account", stored}),
              R"({"from":"helper"})");
}

// Stores data as another client would, through the bundle's own keychain plugin: secret-tool takes at
// most 8 KiB.
void storeDirectly(const std::string& account, const std::string& data) {
    void* plugin = dlopen((bundlePath() + "/Contents/Resources/lib/" + keychainPluginFile).c_str(), RTLD_NOW);
    ASSERT_NE(plugin, nullptr) << dlerror();
    auto entry = reinterpret_cast<const KeychainFunctions* (*)()>(dlsym(plugin, keychainPluginEntry));
    ASSERT_NE(entry, nullptr);
    ASSERT_EQ(entry()->write({"ai.dovrel.macos.credentials", account}, data), KeychainStatus::success);
}

TEST_F(CredentialStore, StoredFormsThatCannotBeReadStillExistAndAreRepairedByWrite) {
    auto store = storeDirectly;
    auto account = freshAccount();
    const std::string frame = R"({"a":")";
    const std::string exactly(1'048'576 - frame.size() - 2, 'x');
    store(account, frame + exactly + "\"}");
    EXPECT_EQ(ask(request("read", account)), R"({"ok":true,"values":{"a":")" + exactly + "\"}}");

    store(account, frame + std::string(1'048'576 - frame.size() - 1, 'x') + "\"}");
    EXPECT_EQ(ask(request("read", account)), failureReplyText);
    EXPECT_EQ(ask(request("exists", account)), R"({"exists":true,"ok":true})");

    for (auto corrupt : {"not json", R"(["a"])", R"({"a":1})", R"({"a":"b"} x)"}) {
        store(account, corrupt);
        EXPECT_EQ(ask(request("read", account)), failureReplyText) << corrupt;
    }
    EXPECT_EQ(write(account, R"({"repaired":"yes"})"), R"({"ok":true})");
    EXPECT_EQ(ask(request("read", account)), R"({"ok":true,"values":{"repaired":"yes"}})");
    EXPECT_EQ(ask(request("remove", account)), R"({"ok":true})");
}

// GLib ends a process that cannot make its descriptors; the helper answers instead, and a low soft limit
// is no limit at all, as the hard one is raised to.
TEST_F(CredentialStore, FewDescriptorsGetAnAnswerNeverASignal) {
    auto account = freshAccount();
    for (const std::string limit : {"-n 4", "-n 5", "-n 8", "-Sn 5"}) {
        auto run =
            runProgram({.program = "/bin/sh",
                        .arguments = {"-c", "ulimit " + limit + " && exec \"$0\"", bundleProgram("helper")},
                        .input = request("exists", account)});
        EXPECT_EQ(run.exitStatus, 0) << limit << ": signal " << run.signal;
        auto expected = limit == "-Sn 5" ? R"({"exists":false,"ok":true})" : failureReplyText;
        EXPECT_EQ(run.out, expected) << limit;
    }
}

TEST_F(CredentialStore, UnreachableSecretServiceFailsPromptly) {
    auto account = freshAccount();
    auto noBus = environmentWith({"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR=/nonexistent", "DISPLAY"});
    auto deadBus = environmentWith({"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus", "DISPLAY"});
    for (const auto& environment : {noBus, deadBus}) {
        EXPECT_EQ(ask(request("exists", account), environment), failureReplyText);
        EXPECT_EQ(ask(request("write", account, R"(,"values":{"k":"v"})"), environment), failureReplyText);
        EXPECT_EQ(ask(request("remove", account), environment), failureReplyText);
    }
}

// The wall clock is stepped by hours after the helper's first reading of it, so while its requests wait:
// each is still waited for by its own measure.
TEST_F(CredentialStore, RecordsAreServedWhenTheWallClockIsSteppedDuringTheRun) {
    auto account = freshAccount();
    auto stepped = environmentWith({"LD_PRELOAD=" + fixturesPath() + "/clock_shift.so",
                                    "DOVREL_CLOCK_SHIFT=10800", "ASAN_OPTIONS=verify_asan_link_order=0"});
    EXPECT_EQ(ask(request("write", account, R"(,"values":{"k":"v"})"), stepped), R"({"ok":true})");
    EXPECT_EQ(ask(request("read", account), stepped), R"({"ok":true,"values":{"k":"v"}})");
    EXPECT_EQ(ask(request("remove", account), stepped), R"({"ok":true})");
    EXPECT_EQ(ask(request("exists", account), stepped), R"({"exists":false,"ok":true})");
}

// Another client removes the record between the helper's search and its read, and stores it anew: the
// item found is gone, and the read answers from the record's new item.
TEST_F(CredentialStore, AnItemRemovedBetweenSearchAndReadIsLookedForAgain) {
    auto account = freshAccount();
    const std::string item = "service ai.dovrel.macos.credentials account " + account;
    auto inTheGap =
        environmentWith({"LD_PRELOAD=" + fixturesPath() + "/between_search_and_read.so",
                         "DOVREL_BETWEEN_SEARCH_AND_READ=secret-tool clear " + item +
                             " && printf %s '{\"k\":\"new\"}' | secret-tool store --label=x " + item,
                         "ASAN_OPTIONS=verify_asan_link_order=0"});
    EXPECT_EQ(write(account, R"({"k":"old"})"), R"({"ok":true})");
    EXPECT_EQ(ask(request("read", account), inTheGap), R"({"ok":true,"values":{"k":"new"}})");
    // The same in the gap of a write, between its search and its update: the record is written anew.
    EXPECT_EQ(ask(request("write", account, R"(,"values":{"k":"mine"})"), inTheGap), R"({"ok":true})");
    EXPECT_EQ(ask(request("read", account)), R"({"ok":true,"values":{"k":"mine"}})");
    EXPECT_EQ(ask(request("remove", account)), R"({"ok":true})");
}

} // namespace
