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
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <time.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double cliSize = 45'000'000;
const std::string resources = DOVREL_BENCH_45MB_RESOURCES;
const std::string cli = resources + "/runtime/gh";
const std::string helper = resources + "/bin/helper";
const std::string credward = resources + "/bin/credward";
const std::string fill = "protocol=https\nhost=github.com\n\n";

bool keychainReachable() {
    const char* flag = std::getenv("DOVREL_SESSION_SERVICES");
    return flag != nullptr && std::string(flag) == "1";
}

// A throw-away home whose stand-in is signed in; HOME and GH_CONFIG_DIR of this process point at it,
// so the programs and the directly run CLI see the same sign-in.
bool signedIn() {
    static const bool ready = [] {
        std::string home =
            std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/dovrel-bench.XXXXXX";
        if (mkdtemp(home.data()) == nullptr)
            return false;
        std::string config = home;
        for (const char* part : {"/Library", "/Application Support", "/Dovrel", "/state", "/github-cli"}) {
            config += part;
            mkdir(config.c_str(), 0700);
        }
        setenv("HOME", home.c_str(), 1);
        setenv("GH_CONFIG_DIR", config.c_str(), 1);
        std::ofstream(config + "/standin-browser") << "user=octocat\ntoken=gho_bench_token\n";
        return runOnce({cli,
                        {"auth", "login", "--hostname", "github.com", "--git-protocol", "https", "--web",
                         "--clipboard", "--skip-ssh-key"},
                        ""}) == 0;
    }();
    return ready;
}

bool ready(benchmark::State& state) {
    if (!keychainReachable() || !signedIn()) {
        state.SkipWithError("run inside scripts/with-session-services");
        return false;
    }
    return true;
}

const TimedCall statusThroughHelper{helper, {}, R"({"operation":"github-status"})"};
const TimedCall statusQuery{cli, gitHubStatusArguments, ""};

TimedCall gitFill(const std::string& credentialHelper) {
    return {"/usr/bin/git",
            {"-c", "credential.helper=", "-c", "credential.helper=" + credentialHelper, "credential", "fill"},
            fill};
}

double secondsOf(const TimedCall& call) {
    auto started = Clock::now();
    runOnce(call);
    return std::chrono::duration<double>(Clock::now() - started).count();
}

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

void timeRuns(benchmark::State& state, const TimedCall& call) {
    if (!ready(state))
        return;
    for (auto _ : state) {
        if (runOnce(call) != 0) {
            state.SkipWithError("the run failed");
            return;
        }
    }
}

void statusProgram(benchmark::State& state) {
    timeRuns(state, statusThroughHelper);
}

void statusBaseline(benchmark::State& state) {
    timeRuns(state, statusQuery);
}

void fillProgram(benchmark::State& state) {
    timeRuns(state, gitFill(credward));
}

void fillBaseline(benchmark::State& state) {
    timeRuns(state, gitFill("!'" + cli + "' auth git-credential"));
}

// Each iteration times one whole run and, right after, as many checks of the CLI as that run makes.
void hashShare(benchmark::State& state, const TimedCall& call, int checks, bool checksOnly) {
    if (!ready(state))
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

// One `openssl speed` run per repetition, so that its median is taken over the same stretch of the
// run as the program's.
void checkBaseline(benchmark::State& state) {
    for (auto _ : state) {
        double speed = cpuSha256BytesPerSecond(1);
        if (speed <= 0) {
            state.SkipWithError("openssl speed did not run");
            return;
        }
        state.SetIterationTime(cliSize / speed);
    }
}

} // namespace

BENCHMARK(checkProgram)->Name("digest_45MB_vs_cpu_sha256/program")->UseManualTime()->Repetitions(9);
BENCHMARK(checkBaseline)
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
