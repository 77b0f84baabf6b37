// Many helper runs at once against the real Secret Service: no reply outside the protocol, and no
// record ever holds a mixture of two writes.
#include "tests/support/run_program.h"

#include <future>
#include <gtest/gtest.h>
#include <set>

namespace {

std::string accountNumber(int record) {
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016x", record);
    return std::string(48, 'e') + digits;
}

// Record r's value set number w: two members, so a mixture of two writes would show.
std::string valueSet(int record, int writer) {
    auto tag = std::to_string(record) + "-" + std::to_string(writer);
    return R"({"left":")" + tag + R"(","right":")" + tag + R"("})";
}

std::string readReplyOf(int record, int writer) {
    auto tag = std::to_string(record) + "-" + std::to_string(writer);
    return R"({"ok":true,"values":{"left":")" + tag + R"(","right":")" + tag + R"("}})";
}

std::string ask(const std::string& request) {
    auto run = runProgram(
        {.program = bundleProgram("helper"), .input = request, .timeout = std::chrono::seconds(120)});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.err, "");
    return run.out;
}

TEST(KeychainLoad, MixedConcurrentRunsKeepEveryRecordWhole) {
    if (!insideSessionServices())
        GTEST_SKIP() << "needs the throw-away keychain of scripts/with-session-services";
    constexpr int records = 50, runs = 200, writersPerRecord = 4;
    const std::set<std::string> plainReplies{R"({"ok":true})", R"({"ok":false})",
                                             R"({"exists":true,"ok":true})", R"({"exists":false,"ok":true})"};
    auto isAllowed = [&](int record, const std::string& reply) {
        if (plainReplies.contains(reply))
            return true;
        for (int writer = 0; writer < writersPerRecord; ++writer)
            if (reply == readReplyOf(record, writer))
                return true;
        return false;
    };

    std::vector<std::future<std::pair<int, std::string>>> pending;
    for (int run = 0; run < runs; ++run) {
        int record = run % records;
        int kind = (run / records) % 4;
        std::string account = accountNumber(record);
        std::string request;
        if (kind == 0 || kind == 2)
            request = R"({"operation":"write","account":")" + account + R"(","values":)" +
                      valueSet(record, run % writersPerRecord) + "}";
        else if (kind == 1)
            request = R"({"operation":"read","account":")" + account + R"("})";
        else
            request = R"({"operation":")" + std::string(run % 2 == 0 ? "exists" : "remove") +
                      R"(","account":")" + account + R"("})";
        pending.push_back(std::async(std::launch::async, [record, request] {
            return std::pair{record, ask(request)};
        }));
    }
    for (auto& run : pending) {
        auto [record, reply] = run.get();
        EXPECT_TRUE(isAllowed(record, reply)) << reply;
    }

    // Whatever the interleaving was, each record is now absent or holds one written set, whole.
    for (int record = 0; record < records; ++record) {
        auto reply = ask(R"({"operation":"read","account":")" + accountNumber(record) + R"("})");
        EXPECT_TRUE(reply == R"({"ok":false})" || isAllowed(record, reply)) << reply;
    }
    // One more write to every record at once: afterwards every record holds exactly that set.
    std::vector<std::future<std::string>> writes;
    for (int record = 0; record < records; ++record)
        writes.push_back(std::async(std::launch::async, [record] {
            return ask(R"({"operation":"write","account":")" + accountNumber(record) + R"(","values":)" +
                       valueSet(record, 0) + "}");
        }));
    for (auto& write : writes)
        EXPECT_EQ(write.get(), R"({"ok":true})");
    for (int record = 0; record < records; ++record) {
        EXPECT_EQ(ask(R"({"operation":"read","account":")" + accountNumber(record) + R"("})"),
                  readReplyOf(record, 0));
        ask(R"({"operation":"remove","account":")" + accountNumber(record) + R"("})");
    }
}

} // namespace
