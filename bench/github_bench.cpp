// SHA-256 of a 100 MB file against `openssl dgst -sha256` on the same file, and in processor time
// against the time the processor's own SHA-256 speed (`openssl speed`, which counts processor time too)
// needs for as many bytes; a run of a trivial child
// through the runner against posix_spawn and a wait for the same child, without and with the check
// and hashing of the packaged GitHub CLI.
#include "bench/cpu_sha256.h"
#include "bench/support/process_timing.h"
#include "github/github.h"
#include "platform/crypto/crypto.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

const std::string resources = bundlePath() + "/Contents/Resources";
const std::string packagedCli = resources + "/runtime/gh";

// 100,000,000 bytes of random data, written once per run of the benchmark program.
const std::string& largeFile() {
    static const std::string path = [] {
        std::string folder =
            std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/dovrel-bench.XXXXXX";
        if (mkdtemp(folder.data()) == nullptr)
            std::abort();
        std::string file = folder + "/large";
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::mt19937_64 random{1};
        std::vector<std::uint64_t> block(1 << 17);
        for (std::size_t written = 0; written < 100'000'000; written += block.size() * 8) {
            for (auto& word : block)
                word = random();
            std::size_t size = std::min<std::size_t>(block.size() * 8, 100'000'000 - written);
            if (write(fd, block.data(), size) != static_cast<ssize_t>(size))
                std::abort();
        }
        close(fd);
        if (!cacheAsReadFromDisk(file))
            std::abort();
        // The file is removed with its folder when the benchmark program ends.
        static const std::string removal = folder;
        std::atexit([] {
            unlink((removal + "/large").c_str());
            rmdir(removal.c_str());
        });
        return file;
    }();
    return path;
}

void digestProgram(benchmark::State& state) {
    const auto& file = largeFile();
    for (auto _ : state) {
        int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat status {};
        fstat(fd, &status);
        auto digest = sha256HexOfFile(fd, static_cast<std::uint64_t>(status.st_size));
        close(fd);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * 100'000'000);
}

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void digestProcessorTime(benchmark::State& state) {
    const auto& file = largeFile();
    for (auto _ : state) {
        double started = threadSeconds();
        int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        auto digest = sha256HexOfFile(fd, 100'000'000);
        close(fd);
        state.SetIterationTime(threadSeconds() - started);
        benchmark::DoNotOptimize(digest);
    }
}

void digestBaseline(benchmark::State& state) {
    const auto& file = largeFile();
    for (auto _ : state)
        runOnce({"/usr/bin/openssl", {"dgst", "-sha256", file}, ""});
    state.SetBytesProcessed(state.iterations() * 100'000'000);
}

const ChildEnvironment environment{{"PATH", "/usr/bin:/bin"}};

// The packaged CLI with no arguments only says it knows no such command: the trivial child.
void spawnAndWait(benchmark::State& state) {
    char* argv[] = {const_cast<char*>(packagedCli.c_str()), nullptr};
    char path[] = "PATH=/usr/bin:/bin";
    char* envp[] = {path, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        pid_t pid = -1;
        if (posix_spawn(&pid, packagedCli.c_str(), &actions, nullptr, argv, envp) != 0) {
            state.SkipWithError("cannot start the packaged CLI");
            break;
        }
        waitpid(pid, nullptr, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
}

void runnerProgram(benchmark::State& state) {
    for (auto _ : state) {
        auto result = runChildProcess({packagedCli, -1, {}, environment, "/"}, {}, 15);
        if (!result.exitedWith(2))
            state.SkipWithError("the packaged CLI did not run");
    }
}

void runnerWithCheckProgram(benchmark::State& state) {
    for (auto _ : state) {
        auto cli = verifiedGitHubCli(resources, expectedGitHubCliSha256);
        if (!cli) {
            state.SkipWithError("the packaged CLI fails its check");
            break;
        }
        auto result = runChildProcess({cli->path, cli->file.get(), {}, environment, "/"}, {}, 15);
        if (!result.exitedWith(2))
            state.SkipWithError("the packaged CLI did not run");
    }
}

} // namespace

BENCHMARK(digestProgram)->Name("digest_100MB_vs_openssl/program")->UseRealTime()->Repetitions(5);
BENCHMARK(digestBaseline)->Name("digest_100MB_vs_openssl/baseline")->UseRealTime()->Repetitions(5);
BENCHMARK(digestProcessorTime)->Name("digest_100MB_vs_cpu_sha256/program")->UseManualTime()->Repetitions(5);
BENCHMARK_CAPTURE(cpuSha256Baseline, hundredMegabytes, 100'000'000.0)
    ->Name("digest_100MB_vs_cpu_sha256/baseline")
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5);
BENCHMARK(runnerProgram)->Name("runner_without_check/program")->UseRealTime()->Repetitions(5);
BENCHMARK(spawnAndWait)->Name("runner_without_check/baseline")->UseRealTime()->Repetitions(5);
BENCHMARK(runnerWithCheckProgram)->Name("runner_with_check/program")->UseRealTime()->Repetitions(5);
BENCHMARK(spawnAndWait)->Name("runner_with_check/baseline")->UseRealTime()->Repetitions(5);
