#include "pidlens/pidlens.h"
#include "tests/pidlens/process_tree.h"
#include "tests/support/run_program.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <semaphore>
#include <stdexcept>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

// Runs pidlens with its standard output redirected by the shell, e.g. ">&-".
ProgramRun pidlensWithOutput(const std::string& redirection, const std::vector<std::string>& arguments) {
    std::vector<std::string> shell{"-c", "exec \"$0\" \"$@\" " + redirection, bundleProgram("pidlens")};
    shell.insert(shell.end(), arguments.begin(), arguments.end());
    return runProgram({"/bin/sh", shell});
}

// Standard output is a pipe whose reader is gone before pidlens starts: every write meets EPIPE.
ChildEnd endIntoBrokenPipe(const std::vector<std::string>& arguments) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return {};
    close(ends[0]);
    auto child = startChild({.executable = bundleProgram("pidlens"),
                             .arguments = arguments,
                             .environment = callerEnvironment(),
                             .input = ChildStream::inherited,
                             .output = ChildStream::given,
                             .error = ChildStream::inherited,
                             .givenDescriptors = {-1, ends[1], -1}});
    close(ends[1]);
    if (!child)
        return {};
    return collectChild(child->process.get());
}

// A program left running until stopAndCollect, with nothing of the test's but the null device.
StartedChild startIdle(const std::string& program) {
    auto child = startChild({.executable = program,
                             .arguments = {"60"},
                             .input = ChildStream::nullDevice,
                             .output = ChildStream::nullDevice});
    if (!child)
        throw std::runtime_error("cannot start " + program);
    return std::move(*child);
}

void stopAndCollect(const StartedChild& child) {
    signalChild(child.process.get(), SIGKILL);
    collectChild(child.process.get());
}

std::string shellOutput(const std::string& command) {
    return runProgram({"/bin/sh", {"-c", command}}).out;
}

pid_t unusedPid() {
    auto child = startChild(
        {.executable = "/bin/true", .input = ChildStream::nullDevice, .output = ChildStream::nullDevice});
    if (!child)
        throw std::runtime_error("cannot start /bin/true");
    collectChild(child->process.get());
    return child->pid;
}

} // namespace

TEST(PidlensArguments, MalformedCommandLinesGetStatusTwoAndNoOutput) {
    std::string own = std::to_string(getpid());
    std::vector<std::vector<std::string>> refused{{},
                                                  {own, own},
                                                  {"--bogus", own},
                                                  {"--PROBE", own},
                                                  {"--probe", own, own},
                                                  {"--probe", ""},
                                                  {"--tree", "1"}};
    for (const char* text : {"1", "0", "2147483648", "12345678901", "00000000002", "", "+5", " 5", "5 ", "-5",
                             "0x10", "--probe", "--tree"})
        refused.push_back({text});
    for (const auto& arguments : refused) {
        auto run = pidlens(arguments);
        EXPECT_EQ(2, run.exitStatus) << testing::PrintToString(arguments);
        EXPECT_EQ("", run.out + run.err) << testing::PrintToString(arguments);
    }
}

// One line, no white space, the eight members in order; the values as ps sees them, and the same
// start time on every run.
TEST(PidlensIdentity, ReportsAProcessOfItsOwnUserAsPsSeesIt) {
    auto tree = startProcessTree({{}});
    std::string pid = std::to_string(tree.pids[0]);
    auto run = pidlens({pid});
    auto again = pidlens({pid});
    auto padded = pidlens({std::string(10 - pid.size(), '0') + pid});
    auto probed = pidlens({"--probe", pid});
    std::string ps = shellOutput("ps -o ppid=,pgid=,uid= -p " + pid + " | awk '{print $1, $2, $3}'");
    std::string started = shellOutput("date -d \"$(ps -o lstart= -p " + pid + ")\" +%s");
    stopProcessTree(tree);

    EXPECT_EQ(0, run.exitStatus);
    auto object = nlohmann::ordered_json::parse(run.out);
    EXPECT_EQ(object.dump() + "\n", run.out);
    std::vector<std::string> members;
    for (const auto& member : object.items())
        members.push_back(member.key());
    EXPECT_EQ(std::vector<std::string>({"schemaVersion", "pid", "parentPid", "processGroupId", "uid",
                                        "startedAt", "executable", "stopped"}),
              members);
    EXPECT_EQ(1, object["schemaVersion"]);
    EXPECT_EQ(tree.pids[0], object["pid"]);
    EXPECT_EQ(getpid(), object["parentPid"]);
    EXPECT_EQ(getpgrp(), object["processGroupId"]);
    EXPECT_EQ(getuid(), object["uid"]);
    EXPECT_EQ(std::filesystem::read_symlink("/proc/self/exe").string(), object["executable"]);
    EXPECT_EQ(false, object["stopped"]);

    std::string startedAt = object["startedAt"];
    ASSERT_GE(startedAt.size(), 7u);
    EXPECT_EQ(std::string::npos, startedAt.find_first_not_of("0123456789"));
    EXPECT_EQ(startedAt.substr(0, startedAt.size() - 6) + "\n", started);
    EXPECT_EQ(object["parentPid"].dump() + " " + object["processGroupId"].dump() + " " +
                  object["uid"].dump() + "\n",
              ps);
    EXPECT_EQ(run.out, again.out);
    EXPECT_EQ(run.out, padded.out);
    EXPECT_EQ(run.out, probed.out);
}

TEST(PidlensIdentity, MissingProcessIsAbsentOnlyWhenProbed) {
    std::string pid = std::to_string(unusedPid());
    auto probed = pidlens({"--probe", pid});
    EXPECT_EQ(0, probed.exitStatus);
    EXPECT_EQ("{\"schemaVersion\":1,\"pid\":" + pid + ",\"absent\":true}\n", probed.out);

    auto bare = pidlens({pid});
    EXPECT_EQ(3, bare.exitStatus);
    EXPECT_EQ("\n", bare.out);

    auto tree = pidlens({"--tree", pid});
    EXPECT_EQ(3, tree.exitStatus);
    EXPECT_EQ("", tree.out);
}

// Another user in either place, the effective or only the real one, makes the process another's. The
// users read through the pidfd, where the kernel tells them there, are those of the status file.
TEST(PidlensIdentity, ProcessOfAnotherUserIsRefused) {
    for (NodeKind kind : {NodeKind::otherUser, NodeKind::otherRealUser}) {
        auto tree = startProcessTree({{-1, kind}});
        std::string pid = std::to_string(tree.pids[0]);
        auto bare = pidlens({pid});
        auto probed = pidlens({"--probe", pid});
        ProcessHandle process(static_cast<uint32_t>(tree.pids[0]));
        ProcessRecord throughPidfd, fromStatus;
        bool read = readProcessRecord(process, throughPidfd);
        if (process.pidFile >= 0)
            close(std::exchange(process.pidFile, -1));
        read = readProcessRecord(process, fromStatus) && read;
        stopProcessTree(tree);
        ASSERT_TRUE(read);
        auto users = std::pair(kind == NodeKind::otherUser ? 65534u : geteuid(), 65534u);
        EXPECT_EQ(users, std::pair(throughPidfd.uid, throughPidfd.realUid));
        EXPECT_EQ(users, std::pair(fromStatus.uid, fromStatus.realUid));
        EXPECT_EQ(3, bare.exitStatus);
        EXPECT_EQ("\n", bare.out);
        EXPECT_EQ(3, probed.exitStatus);
        EXPECT_EQ("\n", probed.out);
    }
}

// A user that changes between the two reads, the real one or only the effective one, makes the first
// read another process's. The child takes each step when the test lets it.
TEST(PidlensIdentity, AUserChangedBetweenTheTwoReadsIsRefused) {
    constexpr auto keep = static_cast<uid_t>(-1);
    for (bool effective : {false, true}) {
        int go[2], done[2];
        ASSERT_EQ(0, pipe2(go, O_CLOEXEC));
        ASSERT_EQ(0, pipe2(done, O_CLOEXEC));
        pid_t child = fork();
        if (child == 0) {
            close(go[1]);
            char byte;
            if (read(go[0], &byte, 1) != 1 ||
                setresuid(effective ? keep : 65534, effective ? 65534 : keep, keep) != 0)
                _exit(1);
            (void)!write(done[1], &byte, 1);
            (void)!read(go[0], &byte, 1);
            _exit(0);
        }
        close(go[0]);
        close(done[1]);
        ProcessHandle process(static_cast<uint32_t>(child));
        Identity identity;
        bool before =
            readProcessRecord(process, identity.first) && confirmIdentity(process, getuid(), identity);
        char byte = 0;
        bool changed = write(go[1], &byte, 1) == 1 && read(done[0], &byte, 1) == 1;
        bool after = confirmIdentity(process, getuid(), identity);
        close(go[1]);
        close(done[0]);
        waitpid(child, nullptr, 0);
        EXPECT_TRUE(before);
        ASSERT_TRUE(changed);
        EXPECT_FALSE(after) << (effective ? "effective user" : "real user");
    }
}

namespace {

// pidlens's answer for an idle copy of sleep at `copy`.
ProgramRun identityOfSleepAt(const std::string& copy) {
    std::filesystem::copy_file("/bin/sleep", copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
    auto sleeper = startIdle(copy);
    auto run = pidlens({std::to_string(sleeper.pid)});
    stopAndCollect(sleeper);
    return run;
}

} // namespace

// The kernel's name of a process is its executable's file name, which may itself look like the end of
// the name followed by other fields.
TEST(PidlensIdentity, ANameThatHoldsAClosingParenthesisIsReadToItsEnd) {
    std::string folder = makeScratchFolder("pidlens-name");
    std::string copy = folder + "/x) S 1 1 1 (";
    auto run = identityOfSleepAt(copy);
    std::filesystem::remove_all(folder);

    ASSERT_EQ(0, run.exitStatus);
    auto object = nlohmann::json::parse(run.out);
    EXPECT_EQ(getpid(), object["parentPid"]);
    EXPECT_EQ(getpgrp(), object["processGroupId"]);
}

TEST(PidlensIdentity, ThreadThatIsNotTheMainThreadIsNoProcess) {
    pid_t thread = 0;
    std::binary_semaphore started(0), done(0);
    std::thread worker([&] {
        thread = gettid();
        started.release();
        done.acquire();
    });
    started.acquire();
    auto bare = pidlens({std::to_string(thread)});
    auto probed = pidlens({"--probe", std::to_string(thread)});
    auto tree = pidlens({"--tree", std::to_string(thread)});
    done.release();
    worker.join();
    EXPECT_EQ(3, bare.exitStatus);
    EXPECT_EQ("\n", bare.out);
    EXPECT_NE(0, probed.exitStatus);
    EXPECT_EQ(3, tree.exitStatus);
    EXPECT_EQ("", tree.out);
}

TEST(PidlensIdentity, StoppedBySignalOrHeldByTracer) {
    auto tree = startProcessTree({{}});
    pid_t pid = tree.pids[0];
    std::string text = std::to_string(pid);
    kill(pid, SIGSTOP);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED);
    auto stopped = pidlens({text});
    kill(pid, SIGCONT);
    waitid(P_PID, static_cast<id_t>(pid), &info, WCONTINUED);
    auto running = pidlens({text});
    EXPECT_NE(std::string::npos, stopped.out.find("\"stopped\":true}\n")) << stopped.out;
    EXPECT_NE(std::string::npos, running.out.find("\"stopped\":false}\n")) << running.out;

    if (ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) == 0) {
        ptrace(PTRACE_INTERRUPT, pid, nullptr, nullptr);
        waitpid(pid, nullptr, 0);
        auto traced = pidlens({text});
        EXPECT_NE(std::string::npos, traced.out.find("\"stopped\":true}\n")) << traced.out;
        ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
    }
    stopProcessTree(tree);
}

TEST(PidlensIdentity, ExecutablePathIsWrittenAsAJsonString) {
    std::string folder = makeScratchFolder("pidlens-path");
    std::string name = "q\"b\\t\tc\x01\x1f\x7f-\xc3\xbc\xe6\xbc\xa2/";
    std::filesystem::create_directory(folder + "/" + name);
    std::string copy = folder + "/" + name + "sleep";
    auto run = identityOfSleepAt(copy);

    std::string expected =
        "\"executable\":\"" + folder +
        "/q\\\"b\\\\t\\u0009c\\u0001\\u001f\x7f-\xc3\xbc\xe6\xbc\xa2/sleep\",\"stopped\":false}\n";
    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ(expected, run.out.substr(run.out.find("\"executable\":")));
    std::filesystem::remove_all(folder);
}

TEST(PidlensOutput, WriteErrorsGiveStatusFourWithoutDying) {
    auto tree = startProcessTree(twoLevelTree(15, 16));
    std::string pid = std::to_string(tree.pids[0]);
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{pid}, {"--probe", pid}, {"--tree", pid}}) {
        for (const char* redirection : {">&-", ">/dev/full"}) {
            auto run = pidlensWithOutput(redirection, arguments);
            EXPECT_EQ(4, run.exitStatus) << redirection << " " << testing::PrintToString(arguments);
        }
        auto unread = endIntoBrokenPipe(arguments);
        EXPECT_FALSE(unread.bySignal) << "signal " << unread.status;
        EXPECT_EQ(4, unread.status) << testing::PrintToString(arguments);
    }
    auto absent = pidlensWithOutput(">/dev/full", {"--probe", std::to_string(unusedPid())});
    EXPECT_EQ(4, absent.exitStatus);
    stopProcessTree(tree);
}

// With objects of some 3,300 bytes each the report outgrows the output buffer, so the error meets the
// writes of the objects themselves, not only the final flush: still a write error, not a doubt about
// the tree.
TEST(PidlensOutput, ReportLargerThanTheOutputBufferFailsAsAWriteError) {
    std::string folder = makeScratchFolder("pidlens-long");
    std::string path = folder;
    for (char level = 'a'; level < 'q'; ++level)
        path += "/" + std::string(200, level);
    std::filesystem::create_directories(path);
    std::string copy = path + "/sleep";
    std::filesystem::copy_file("/bin/sleep", copy);
    std::vector<StartedChild> sleepers;
    for (int i = 0; i < 24; ++i)
        sleepers.push_back(startIdle(copy));
    std::string root = std::to_string(getpid());
    auto whole = pidlens({"--tree", root});
    auto full = pidlensWithOutput(">/dev/full", {"--tree", root});
    for (const auto& sleeper : sleepers)
        stopAndCollect(sleeper);
    std::filesystem::remove_all(folder);

    ASSERT_EQ(24u, sleepers.size());
    EXPECT_EQ(0, whole.exitStatus);
    EXPECT_GT(whole.out.size(), 65536u);
    // The error shows while objects are still being written, which ends the report as not established.
    EXPECT_EQ(3, full.exitStatus);
}
