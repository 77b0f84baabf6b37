// `git credential fill` through credward against the same fill with the packaged GitHub CLI itself
// as git's helper; and the share of credward's own time that is not its two GitHub CLI runs (the
// figure's "program" is that remainder, its "baseline" the whole credward run, so the ratio is the
// share). Needs the throw-away keychain of scripts/with-session-services for the sign-in.
#include "bench/support/process_timing.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

namespace {

using Clock = std::chrono::steady_clock;

const std::string cli = std::string(DOVREL_BENCH_BUNDLE) + "/Contents/Resources/runtime/gh";
const std::string fill = "protocol=https\nhost=github.com\n\n";

bool keychainReachable() {
    const char* flag = std::getenv("DOVREL_SESSION_SERVICES");
    return flag != nullptr && std::string(flag) == "1";
}

// A throw-away home whose stand-in is signed in; HOME and GH_CONFIG_DIR of this process point at it,
// so credward and the directly configured CLI see the same sign-in.
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

TimedCall gitFill(const std::string& helper) {
    return {"/usr/bin/git",
            {"-c", "credential.helper=", "-c", "credential.helper=" + helper, "credential", "fill"},
            fill};
}

bool ready(benchmark::State& state) {
    if (!keychainReachable() || !signedIn()) {
        state.SkipWithError("run inside scripts/with-session-services");
        return false;
    }
    return true;
}

void timeRuns(benchmark::State& state, const TimedCall& call) {
    if (!ready(state))
        return;
    for (auto _ : state) {
        if (runOnce(call) != 0) {
            state.SkipWithError("the fill failed");
            return;
        }
    }
}

void fillThroughCredward(benchmark::State& state) {
    timeRuns(state, gitFill(benchBundleProgram("credward")));
}

void fillThroughCli(benchmark::State& state) {
    timeRuns(state, gitFill("!'" + cli + "' auth git-credential"));
}

double secondsOf(const TimedCall& call) {
    auto started = Clock::now();
    runOnce(call);
    return std::chrono::duration<double>(Clock::now() - started).count();
}

// Each iteration times one credward run and, right after, the two CLI runs it makes.
void credwardOwnTime(benchmark::State& state, bool remainderOnly) {
    if (!ready(state))
        return;
    const TimedCall credward{benchBundleProgram("credward"), {"get"}, fill};
    const TimedCall status{
        cli, {"auth", "status", "--active", "--hostname", "github.com", "--json", "hosts"}, ""};
    const TimedCall credential{cli, {"auth", "git-credential", "get"}, fill};
    for (auto _ : state) {
        double whole = secondsOf(credward);
        double cliRuns = secondsOf(status) + secondsOf(credential);
        state.SetIterationTime(remainderOnly ? std::max(whole - cliRuns, 1e-9) : whole);
    }
}

void credwardRemainder(benchmark::State& state) {
    credwardOwnTime(state, true);
}

void credwardWhole(benchmark::State& state) {
    credwardOwnTime(state, false);
}

} // namespace

BENCHMARK(fillThroughCredward)
    ->Name("git_fill_credward_vs_cli_helper/program")
    ->UseRealTime()
    ->Repetitions(5);
BENCHMARK(fillThroughCli)->Name("git_fill_credward_vs_cli_helper/baseline")->UseRealTime()->Repetitions(5);
BENCHMARK(credwardRemainder)
    ->Name("credward_share_outside_cli_runs/program")
    ->UseManualTime()
    ->Repetitions(5);
BENCHMARK(credwardWhole)->Name("credward_share_outside_cli_runs/baseline")->UseManualTime()->Repetitions(5);
