// The helper's request frame, run as a black box: request bytes in, and a stored form read back, exact
// reply bytes out.
#include "helper/reply.h"
#include "platform/keychain/plugin.h"
#include "tests/support/run_program.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

const std::string account(64, 'a');

ProgramRun askHelper(const std::string& request) {
    return runProgram({.program = bundleProgram("helper"), .input = request});
}

void expectFailureReply(const std::string& request) {
    auto run = askHelper(request);
    EXPECT_EQ(run.out, failureReplyText) << "request: " << request.substr(0, 80);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitStatus, 0);
}

TEST(HelperFrame, RefusesWhatIsNotOneJsonObjectWithAStringOperation) {
    for (const std::string request : {"",
                                      " ",
                                      "[]",
                                      "\"choose-folder\"",
                                      "42",
                                      "null",
                                      "{}",
                                      "{\"operation\":7}",
                                      "{\"operation\":null}",
                                      "{\"operation\":[\"exists\"]}",
                                      "{\"operation\":\"choose-folder\"} {}",
                                      "{\"operation\":\"exists\",}",
                                      "{'operation':'exists'}",
                                      "/* c */{\"operation\":\"github-status\"}",
                                      "{\"operation\":\"github-status\"}// c",
                                      "{\"operation\":\"github-status\",\"language\":NaN}",
                                      "{\"operation\":\"github-status\",\"language\":Infinity}",
                                      "{\"operation\":\"github-status\",\"language\":01}",
                                      "{\"operation\":\"github-status\",\"language\":\"\xff\"}",
                                      "{\"operation\":\"github-status\",\"language\":\"\xc0\xaf\"}",
                                      "{\"operation\":\"github-status\",\"language\":\"\\ud800\"}",
                                      "{\"operation\":\"github-status\",\"language\":\"\\udc00x\"}",
                                      "{\"operation\":\"github-status\",\"language\":\"tab\there\"}"})
        expectFailureReply(request);
    // "language" is not read, so the rows above are refused by the reader alone: its well-formed
    // counterparts are served.
    EXPECT_NE(askHelper(R"({"operation":"github-status","language":[0,-1.5e3,"\ud83d\ude00\u00e9"]})").out,
              failureReplyText);
}

TEST(HelperFrame, ComparesOperationNamesExactlyAndWhole) {
    for (const std::string operation :
         {"Exists", "exists ", " exists", "EXISTS", "read\\u0000", "unknown", "writes"})
        expectFailureReply(R"({"operation":")" + operation + R"(","account":")" + account + R"("})");
    expectFailureReply(R"({"operation":"exists"})");
    expectFailureReply(R"({"operation":"github-status","extra":true})");
    expectFailureReply(R"({"operation":"github-auth","account":")" + account + R"("})");
}

TEST(HelperFrame, OversizedInputIsRefusedWithBoundedMemory) {
    // 64 MiB must be read to its end without being held: the peak stays far below the input's size.
    // The input comes from a pipeline so that the test's own memory does not count towards the peak.
    auto run = runProgram(
        {.program = "/bin/sh",
         .arguments = {"-c", "{ printf '%s' \"$1\"; head -c 67108864 /dev/zero | tr '\\0' ' '; } | \"$0\"",
                       bundleProgram("helper"), R"({"operation":"exists","account":")" + account + R"("})"}});
    EXPECT_EQ(run.out, failureReplyText);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_LT(run.maxResidentKb, 32 * 1024);
    // The limit is 1 MiB, whitespace included.
    std::string exact = R"({"operation":"github-status"})";
    exact += std::string((1 << 20) - exact.size(), ' ');
    EXPECT_NE(askHelper(exact).out, failureReplyText);
    expectFailureReply(exact + " ");
}

TEST(HelperFrame, DeepNestingIsRefusedWithoutCrashing) {
    constexpr size_t megabyte = 1 << 20;
    std::string nestedMembers;
    while (nestedMembers.size() + 5 <= megabyte)
        nestedMembers += R"({"a":)";
    const std::string balanced = std::string(megabyte / 2, '[') + std::string(megabyte / 2, ']');
    for (const auto& request :
         {std::string(megabyte, '['), nestedMembers, balanced,
          R"({"operation":"exists","x":)" + std::string(100000, '[') + std::string(100000, ']') + "}"}) {
        auto run = askHelper(request);
        EXPECT_EQ(run.out, failureReplyText);
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.exitStatus, 0);
    }
}

TEST(HelperFrame, SurvivesAReaderThatHasGoneAway) {
    auto run = runProgram({.program = bundleProgram("helper"), .input = "[]", .closeOutputAtStart = true});
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitStatus, 0);
    auto closedInput = runProgram({.program = bundleProgram("helper"), .closeInputAtStart = true});
    EXPECT_EQ(closedInput.out, failureReplyText);
}

TEST(HelperFrame, RefusesARawNulByteAnywhereButKeepsALeadingByteOrderMark) {
    const std::string status = R"({"operation":"github-status"})";
    for (const auto& bad : {status + "\0"s, status + "\0 xyz"s, "\0"s + status,
                            R"({"operation":"github-status","language":"e)" + "\0"s + R"(n"})"}) {
        auto run = askHelper(bad);
        EXPECT_EQ(run.out, failureReplyText);
        EXPECT_EQ(run.exitStatus, 0);
    }
    // An escaped NUL is a character like any other.
    for (const auto& good :
         {"\xef\xbb\xbf" + status, R"({"operation":"github-status","language":"\u0000"})"s})
        EXPECT_NE(askHelper(good).out, failureReplyText) << good;
}

class StoredForm : public ::testing::Test {
protected:
    void SetUp() override { SKIP_OUTSIDE_SESSION_SERVICES(); }
};

// Stores data as another client could, through the bundle's own keychain plugin.
void storeDirectly(const std::string& forAccount, const std::string& data) {
    void* plugin = dlopen((bundlePath() + "/Contents/Resources/lib/" + keychainPluginFile).c_str(), RTLD_NOW);
    ASSERT_NE(plugin, nullptr) << dlerror();
    auto entry = reinterpret_cast<const KeychainFunctions* (*)()>(dlsym(plugin, keychainPluginEntry));
    ASSERT_NE(entry, nullptr);
    entry()->remove({"ai.dovrel.macos.credentials", forAccount});
    ASSERT_EQ(entry()->write({"ai.dovrel.macos.credentials", forAccount}, data), KeychainStatus::success);
}

TEST_F(StoredForm, ARawNulByteInTheRequestOrTheStoredFormIsRefused) {
    const auto record = std::string(64, 'e');
    askHelper(request("remove", record));
    auto trailing = askHelper(request("write", record, R"(,"values":{"k":"v"})") + "\0 xyz"s);
    EXPECT_EQ(trailing.out, failureReplyText);
    EXPECT_EQ(askHelper(request("exists", record)).out, R"({"exists":false,"ok":true})");

    for (const auto& stored : {R"({"a":"b"})" + "\0 x"s, R"({"a":"b)" + "\0"s + R"("})"}) {
        storeDirectly(record, stored);
        EXPECT_EQ(askHelper(request("read", record)).out, failureReplyText);
        EXPECT_EQ(askHelper(request("exists", record)).out, R"({"exists":true,"ok":true})");
    }
    storeDirectly(record, R"({"a":"b\u0000"})");
    EXPECT_EQ(askHelper(request("read", record)).out, R"({"ok":true,"values":{"a":"b\u0000"}})");
    askHelper(request("remove", record));
}

TEST(ReplyWriter, WritesCompactSortedMembersWithEscapedSolidus) {
    Reply reply{{"path", std::string("/Users/someone/My Work/\xe5\xb7\xa5\xe4\xbd\x9c")}, {"ok", true}};
    EXPECT_EQ(serializeReply(reply),
              "{\"ok\":true,\"path\":\"\\/Users\\/someone\\/My Work\\/\xe5\xb7\xa5\xe4\xbd\x9c\"}");
    EXPECT_EQ(serializeReply({{"ok", true}, {"path", nullptr}}), R"({"ok":true,"path":null})");
    EXPECT_EQ(serializeReply(failureReply()), failureReplyText);
}

TEST(ReplyWriter, EscapesQuotesBackslashesAndControlCharacters) {
    StringMap values{{"z", "last"}, {"a\"b", "x\\y"}, {std::string("c\x01\x1f\x7f", 4), "\b\f\n\r\t"}};
    EXPECT_EQ(serializeReply({{"values", values}, {"ok", true}}),
              "{\"ok\":true,\"values\":{\"a\\\"b\":\"x\\\\y\",\"c\\u0001\\u001f\x7f\":\"\\b\\f\\n\\r\\t\","
              "\"z\":\"last\"}}");
    // Keys sort by their bytes, so UTF-8 keys come after every ASCII key.
    EXPECT_EQ(serializeReply({{"values", StringMap{{"\xc3\xa9", "1"}, {"z", "2"}}}}),
              "{\"values\":{\"z\":\"2\",\"\xc3\xa9\":\"1\"}}");
}

} // namespace
