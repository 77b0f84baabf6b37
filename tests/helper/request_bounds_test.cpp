// What any request may cost: the peak memory of requests of every shape, refused and served.
#include "tests/support/run_program.h"

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

constexpr size_t megabyte = 1 << 20;

std::string account(char digit) {
    return std::string(64, digit);
}

struct MeasuredRun {
    std::string out;
    long peakKb = -1;
};

// A program started straight from the test counts the test's own memory in its peak (it starts as a
// copy of the test's address space), so the helper is started from GNU time, whose child it measures.
MeasuredRun askHelperMeasured(const std::string& request) {
    auto run = runProgram(
        {.program = "/usr/bin/time", .arguments = {"-f", "%M", bundleProgram("helper")}, .input = request});
    MeasuredRun measured{run.out};
    if (run.exitStatus == 0 && !run.err.empty())
        measured.peakKb = std::stol(run.err);
    return measured;
}

// The sanitizers' shadow memory and quarantine are theirs, not the helper's.
bool peaksMeasurable() {
#if defined(DOVREL_SANITIZE)
    return false;
#else
    return true;
#endif
}

TEST(HelperFrame, RefusedRequestsStayWithinEightMebibytesWhateverTheirShape) {
    if (!peaksMeasurable())
        GTEST_SKIP() << "peaks are not the helper's own under the sanitizers";
    std::string objects = "[";
    while (objects.size() + 3 < megabyte)
        objects += "{},";
    objects += "{}]";
    std::string members = "{";
    for (size_t i = 0; members.size() + 16 < megabyte; ++i)
        members += "\"" + std::to_string(i) + "\":0,";
    members += R"("last":0})";
    const std::string deep = R"({"operation":"exists","x":)" + std::string(megabyte / 2 - 20, '[') +
                             std::string(megabyte / 2 - 20, ']') + "}";
    const std::string longString =
        R"({"operation":"unknown","x":")" + std::string(megabyte - 40, 'x') + "\"}";
    for (const auto& refused : {std::string(megabyte, '['), objects, members, deep, longString}) {
        auto run = askHelperMeasured(refused);
        EXPECT_EQ(run.out, failureReplyText) << refused.substr(0, 40);
        EXPECT_GT(run.peakKb, 0);
        EXPECT_LE(run.peakKb, 8 * 1024) << refused.substr(0, 40);
    }
}

class StoredForm : public ::testing::Test {
protected:
    void SetUp() override { SKIP_OUTSIDE_SESSION_SERVICES(); }
};

TEST_F(StoredForm, ServedRequestsStayWithinThirtyTwoMebibytes) {
    if (!peaksMeasurable())
        GTEST_SKIP() << "peaks are not the helper's own under the sanitizers";
    const auto record = account('f');
    // A hundred thousand tiny values, as many as fit in a request.
    const std::string digits = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string values = "{";
    for (size_t i = 0; i < 100'000; ++i)
        values += "\""s + digits[i % 62] + digits[i / 62 % 62] + digits[i / 3844] + "\":\"\",";
    values.back() = '}';
    auto write = askHelperMeasured(request("write", record, R"(,"values":)" + values));
    EXPECT_EQ(write.out, R"({"ok":true})");
    EXPECT_GT(write.peakKb, 0);
    EXPECT_LE(write.peakKb, 32 * 1024);

    // Members no operation reads cost nothing, whatever their shape.
    std::string ignored = R"(,"ignored":[)";
    while (ignored.size() + 200 < megabyte)
        ignored += R"({"a":[1,"b"]},)";
    ignored += "0]";
    auto removal = askHelperMeasured(request("remove", record, ignored));
    EXPECT_EQ(removal.out, R"({"ok":true})");
    EXPECT_GT(removal.peakKb, 0);
    EXPECT_LE(removal.peakKb, 32 * 1024);
}

} // namespace
