// What a "write" leaves of a record's values in the live helper's memory once it is done with them.
#include "tests/support/run_program.h"

#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <tuple>

namespace {

std::string randomText(std::size_t size, std::string_view alphabet) {
    static std::mt19937_64 random{std::random_device{}()};
    std::string text;
    while (text.size() < size)
        text += alphabet[random() % alphabet.size()];
    return text;
}

// Letters that the helper's own texts, all lower case, never hold in a row.
std::string randomMark(std::size_t size) {
    return randomText(size, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
}

std::string readWhole(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Occurrences of `needle` in every readable mapping of the process.
std::size_t occurrencesInMemory(pid_t pid, const std::string& needle) {
    OwnedDescriptor memory(open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
    std::istringstream maps(readWhole("/proc/" + std::to_string(pid) + "/maps"));
    std::size_t count = 0;
    for (std::string line; std::getline(maps, line);) {
        unsigned long start = 0, end = 0;
        char permissions[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, permissions) != 3 || permissions[0] != 'r')
            continue;
        std::string bytes(end - start, '\0');
        auto got = pread(memory.get(), bytes.data(), bytes.size(), static_cast<off_t>(start));
        bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        for (auto at = bytes.find(needle); at != std::string::npos; at = bytes.find(needle, at + 1))
            ++count;
    }
    return count;
}

// Runs the helper held in the write of its reply by a pipe that is already full, and hands its process
// to `whileHeld` there: by then it has parsed the request and done its work, and it has released
// everything but the request's bytes, which its main function keeps to the end, and the reply.
std::string askHeldInReply(const std::string& request, const std::function<void(pid_t)>& whileHeld) {
    int reply[2];
    if (pipe2(reply, O_CLOEXEC) != 0)
        return "";
    OwnedDescriptor replyRead(reply[0]), replyWrite(reply[1]);
    const std::string filler(4096, ' ');
    std::size_t filled = 0;
    fcntl(replyWrite.get(), F_SETFL, O_NONBLOCK);
    while (write(replyWrite.get(), filler.data(), filler.size()) > 0)
        filled += filler.size();
    fcntl(replyWrite.get(), F_SETFL, 0);

    auto helper = startChild({.executable = bundleProgram("helper"),
                              .environment = callerEnvironment(),
                              .output = ChildStream::given,
                              .givenDescriptors = {-1, replyWrite.get(), -1}});
    if (!helper)
        return "";
    replyWrite.reset();
    writeChildInput(helper->input.get(), helper->process.get(), request);
    helper->input.reset();
    const auto syscall = "/proc/" + std::to_string(helper->pid) + "/syscall";
    // The write system call (1) on standard output (0x1).
    EXPECT_TRUE(eventually([&] { return readWhole(syscall).starts_with("1 0x1 "); }));
    whileHeld(helper->pid);

    std::string out;
    char chunk[65536];
    while (auto count = readChildOutput(replyRead.get(), chunk, sizeof chunk))
        out.append(chunk, count);
    collectChild(helper->process.get());
    return out.substr(std::min(filled, out.size()));
}

// A "write" may leave each value only in the request's bytes; a "read" only in the reply, as its values
// and as their serialised form. The marks sit past the start of a value, where the allocator's own
// records would overwrite a freed block.
TEST(RecordValuesInMemory, OnlyTheRequestAndTheReplyHoldThemOnceTheWorkIsDone) {
    SKIP_OUTSIDE_SESSION_SERVICES();
#if defined(DOVREL_SANITIZE)
    GTEST_SKIP() << "the sanitizers' shadow memory spans terabytes";
#endif
    const auto longMark = randomMark(32), shortMark = randomMark(12);
    const auto account = randomText(64, "0123456789abcdef");
    const auto values = R"({"long":")" + std::string(100, 'p') + longMark + std::string(4000, 'q') +
                        R"(","short":")" + shortMark + R"("})";
    const auto record = R"(","account":")" + account + "\"";
    const auto write = R"({"operation":"write)" + record + R"(,"values":)" + values + "}";
    const auto read = R"({"operation":"read)" + record + "}";
    for (const auto& [request, copies, reply] :
         {std::tuple{write, 1u, std::string(R"({"ok":true})")},
          std::tuple{read, 2u, R"({"ok":true,"values":)" + values + "}"}}) {
        auto out = askHeldInReply(request, [&](pid_t helper) {
            EXPECT_EQ(occurrencesInMemory(helper, longMark), copies) << request.substr(0, 20);
            EXPECT_EQ(occurrencesInMemory(helper, shortMark), copies) << request.substr(0, 20);
        });
        EXPECT_EQ(out, reply);
    }
    EXPECT_EQ(ask(R"({"operation":"remove","account":")" + account + R"("})"), R"({"ok":true})");
}

} // namespace
