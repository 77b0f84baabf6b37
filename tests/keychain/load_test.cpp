// Many helper runs at once against the real Secret Service: no reply outside the protocol, and no
// record ever holds a mixture of two writes.
#include "tests/support/run_program.h"

#include <future>
#include <gtest/gtest.h>
#include <map>

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

constexpr int writersPerRecord = 4;

std::string readReplyOf(int record, int writer) {
    auto tag = std::to_string(record) + "-" + std::to_string(writer);
    return R"({"ok":true,"values":{"left":")" + tag + R"(","right":")" + tag + R"("}})";
}

// The replies one operation may give while the service is healthy: another run changing or removing the
// same record is no reason for a failure, except for "read", which fails on a record that was removed.
bool isAllowed(const std::string& operation, int record, const std::string& reply) {
    if (operation == "exists")
        return reply == R"({"exists":true,"ok":true})" || reply == R"({"exists":false,"ok":true})";
    if (operation == "write" || operation == "remove")
        return reply == R"({"ok":true})";
    for (int writer = 0; writer < writersPerRecord; ++writer)
        if (reply == readReplyOf(record, writer))
            return true;
    return reply == failureReplyText;
}

TEST(KeychainLoad, MixedConcurrentRunsKeepEveryRecordWhole) {
    SKIP_OUTSIDE_SESSION_SERVICES();
    constexpr int records = 50, runs = 200;

    struct Run {
        std::string operation;
        int record;
        std::string reply;
    };
    std::vector<std::future<Run>> pending;
    for (int run = 0; run < runs; ++run) {
        int record = run % records;
        int kind = (run / records) % 4;
        std::string account = accountNumber(record);
        std::string operation = kind == 0 || kind == 2 ? "write"
                                : kind == 1            ? "read"
                                : run % 2 == 0         ? "exists"
                                                       : "remove";
        std::string request = R"({"operation":")" + operation + R"(","account":")" + account + "\"";
        if (operation == "write")
            request += R"(,"values":)" + valueSet(record, run % writersPerRecord);
        request += "}";
        pending.push_back(std::async(std::launch::async, [operation, record, request] {
            return Run{operation, record, ask(request)};
        }));
    }
    std::map<std::string, std::pair<int, int>> replies; // per operation: replies, failures among them
    for (auto& pendingRun : pending) {
        auto run = pendingRun.get();
        EXPECT_TRUE(isAllowed(run.operation, run.record, run.reply)) << run.operation << ": " << run.reply;
        auto& [count, failures] = replies[run.operation];
        ++count;
        failures += run.reply == failureReplyText ? 1 : 0;
    }
    for (const auto& [operation, counts] : replies)
        std::printf("%-6s %3d replies, %d {\"ok\":false}\n", operation.c_str(), counts.first, counts.second);

    // Whatever the interleaving was, each record is now absent or holds one written set, whole.
    for (int record = 0; record < records; ++record) {
        auto reply = ask(R"({"operation":"read","account":")" + accountNumber(record) + R"("})");
        EXPECT_TRUE(isAllowed("read", record, reply)) << reply;
    }
    // Two writers at once on every record: both are answered, and each record holds one of their sets, whole.
    std::vector<std::future<std::string>> writes;
    for (int record = 0; record < records; ++record)
        for (int writer = 0; writer < 2; ++writer)
            writes.push_back(std::async(std::launch::async, [record, writer] {
                return ask(R"({"operation":"write","account":")" + accountNumber(record) + R"(","values":)" +
                           valueSet(record, writer) + "}");
            }));
    for (auto& write : writes)
        EXPECT_EQ(write.get(), R"({"ok":true})");
    for (int record = 0; record < records; ++record) {
        auto reply = ask(R"({"operation":"read","account":")" + accountNumber(record) + R"("})");
        // On a failure, what secret-tool sees of the record tells a lost record from a failed read.
        EXPECT_TRUE(reply == readReplyOf(record, 0) || reply == readReplyOf(record, 1))
            << reply << "; secret-tool: "
            << runProgram({.program = "/usr/bin/secret-tool",
                           .arguments = {"lookup", "service", "ai.dovrel.macos.credentials", "account",
                                         accountNumber(record)}})
                   .out;
        ask(R"({"operation":"remove","account":")" + accountNumber(record) + R"("})");
    }
}

} // namespace
