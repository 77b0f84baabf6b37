// `git credential fill` through credward against the same fill with the packaged GitHub CLI itself
// as git's helper; and the share of credward's own time that is not its two GitHub CLI runs (the
// figure's "program" is that remainder, its "baseline" the whole credward run, so the ratio is the
// share). Needs the throw-away keychain of scripts/with-session-services for the sign-in.
#include "bench/support/process_timing.h"

#include <benchmark/benchmark.h>
#include <chrono>

namespace {

const std::string cli = bundleEntry("gh");

void fillThroughCredward(benchmark::State& state) {
    timeWhenSignedIn(state, cli, gitFill(bundleEntry("credward")));
}

void fillThroughCli(benchmark::State& state) {
    timeWhenSignedIn(state, cli, gitFill("!'" + cli + "' auth git-credential"));
}

// Each iteration times one credward run and, right after, the two CLI runs it makes.
void credwardOwnTime(benchmark::State& state, bool remainderOnly) {
    if (!signedIn(state, cli))
        return;
    const TimedCall credward{bundleEntry("credward"), {"get"}, gitHubFill};
    const TimedCall status{
        cli, {"auth", "status", "--active", "--hostname", "github.com", "--json", "hosts"}, ""};
    const TimedCall credential{cli, {"auth", "git-credential", "get"}, gitHubFill};
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
