// The GitHub operations with a CLI of the real CLI's size (the stand-in padded to 45,000,000 bytes):
// "github-status" through helper against the CLI's own status query, `git credential fill` through
// credward against the CLI as git's helper, the share of each spent hashing (the figure's "program" is
// the program's own check of the CLI timed in this process, its "baseline" the whole run, so the ratio
// is the share), and that check against the processor's SHA-256 speed as `openssl speed` reports it
// in the same run (the baseline is the time that speed needs for the 45,000,000 bytes).
#include "bench/cpu_sha256.h"
#include "bench/support/process_timing.h"
#include "github/github.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <time.h>

namespace {

constexpr double cliSize = 45'000'000;
const std::string resources = DOVREL_BENCH_45MB_RESOURCES;
const std::string cli = resources + "/runtime/gh";
const std::string helper = resources + "/bin/helper";
const std::string credward = resources + "/bin/credward";
// The CLI in the page cache as after the machine's start, when its first run read it from the disk.
const bool cliCached = cacheAsReadFromDisk(cli);

const TimedCall statusThroughHelper{helper, {}, R"({"operation":"github-status"})"};
const TimedCall statusQuery{cli, gitHubStatusArguments, ""};

double secondsNow(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The check every run of the CLI makes: open, inspect and hash the whole file. Against `openssl speed`
// it is timed in processor time, the system's share (mapping, faults) included, as that command times
// its own: on a shared machine the time spent waiting for a processor belongs to neither.
double secondsOfCheck(clockid_t clock = CLOCK_MONOTONIC) {
    double started = secondsNow(clock);
    auto checked = verifiedGitHubCli(resources, expectedGitHubCliSha256);
    double seconds = secondsNow(clock) - started;
    return checked ? seconds : -1;
}

void statusProgram(benchmark::State& state) {
    timeWhenSignedIn(state, cli, statusThroughHelper);
}

void statusBaseline(benchmark::State& state) {
    timeWhenSignedIn(state, cli, statusQuery);
}

void fillProgram(benchmark::State& state) {
    timeWhenSignedIn(state, cli, gitFill(credward));
}

void fillBaseline(benchmark::State& state) {
    timeWhenSignedIn(state, cli, gitFill("!'" + cli + "' auth git-credential"));
}

// Each iteration times one whole run and, right after, as many checks of the CLI as that run makes.
void hashShare(benchmark::State& state, const TimedCall& call, int checks, bool checksOnly) {
    if (!signedIn(state, cli))
        return;
    for (auto _ : state) {
        double whole = secondsOf(call);
        double hashing = 0;
        for (int i = 0; i < checks; ++i)
            hashing += secondsOfCheck();
        if (hashing < 0) {
            state.SkipWithError("the padded CLI fails its check");
            return;
        }
        state.SetIterationTime(checksOnly ? hashing : whole);
    }
}

void statusHashing(benchmark::State& state) {
    hashShare(state, statusThroughHelper, 1, true);
}

void statusWhole(benchmark::State& state) {
    hashShare(state, statusThroughHelper, 1, false);
}

// credward runs the CLI twice for one fill: the status query, then the credential command.
void fillHashing(benchmark::State& state) {
    hashShare(state, gitFill(credward), 2, true);
}

void fillWhole(benchmark::State& state) {
    hashShare(state, gitFill(credward), 2, false);
}

void checkProgram(benchmark::State& state) {
    if (!cliCached) {
        state.SkipWithError("cannot read the padded CLI");
        return;
    }
    for (auto _ : state) {
        double seconds = secondsOfCheck(CLOCK_THREAD_CPUTIME_ID);
        if (seconds < 0) {
            state.SkipWithError("the padded CLI fails its check");
            return;
        }
        state.SetIterationTime(seconds);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * cliSize));
}

} // namespace

BENCHMARK(checkProgram)->Name("digest_45MB_vs_cpu_sha256/program")->UseManualTime()->Repetitions(9);
BENCHMARK_CAPTURE(cpuSha256Baseline, cliSize, cliSize)
    ->Name("digest_45MB_vs_cpu_sha256/baseline")
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(9);
BENCHMARK(statusProgram)->Name("github_status_45MB_vs_cli_query/program")->UseRealTime()->Repetitions(5);
BENCHMARK(statusBaseline)->Name("github_status_45MB_vs_cli_query/baseline")->UseRealTime()->Repetitions(5);
BENCHMARK(statusHashing)->Name("github_status_45MB_share_hashing/program")->UseManualTime()->Repetitions(5);
BENCHMARK(statusWhole)->Name("github_status_45MB_share_hashing/baseline")->UseManualTime()->Repetitions(5);
BENCHMARK(fillProgram)->Name("git_fill_credward_45MB_vs_cli_helper/program")->UseRealTime()->Repetitions(5);
BENCHMARK(fillBaseline)->Name("git_fill_credward_45MB_vs_cli_helper/baseline")->UseRealTime()->Repetitions(5);
BENCHMARK(fillHashing)->Name("git_fill_credward_45MB_share_hashing/program")->UseManualTime()->Repetitions(5);
BENCHMARK(fillWhole)->Name("git_fill_credward_45MB_share_hashing/baseline")->UseManualTime()->Repetitions(5);
