// helper's start-up on a refused request against a minimal C++ program, and its keychain lookups
// against secret-tool looking up the same item.
#include "bench/support/process_timing.h"

#include <benchmark/benchmark.h>
#include <cstdlib>

namespace {

const std::string account(64, 'b');
const std::string service = "ai.dovrel.macos.credentials";

void storeRecord() {
    runOnce({bundleEntry("helper"),
             {},
             R"({"operation":"write","account":")" + account + R"(","values":{"token":"gho_0123456789"}})"});
}

void refusal(benchmark::State& state) {
    timeRuns(state, {bundleEntry("helper"), {}, "[]"});
}

void minimalProgram(benchmark::State& state) {
    timeRuns(state, {DOVREL_MINIMAL_REPLY, {}, "[]"});
}

void lookup(benchmark::State& state, const std::string& operation) {
    if (!insideSessionServices()) {
        state.SkipWithError("run inside scripts/with-session-services");
        return;
    }
    storeRecord();
    timeRuns(state, {bundleEntry("helper"),
                     {},
                     R"({"operation":")" + operation + R"(","account":")" + account + R"("})"});
}

void secretToolLookup(benchmark::State& state) {
    if (!insideSessionServices()) {
        state.SkipWithError("run inside scripts/with-session-services");
        return;
    }
    storeRecord();
    timeRuns(state, {"/usr/bin/secret-tool", {"lookup", "service", service, "account", account}, ""});
}

} // namespace

BENCHMARK(refusal)->Name("frame-refusal/program")->UseRealTime()->Repetitions(5)->MinTime(0.5);
BENCHMARK(minimalProgram)->Name("frame-refusal/baseline")->UseRealTime()->Repetitions(5)->MinTime(0.5);
BENCHMARK_CAPTURE(lookup, exists, std::string("exists"))
    ->Name("keychain-exists/program")
    ->UseRealTime()
    ->Repetitions(9);
BENCHMARK(secretToolLookup)->Name("keychain-exists/baseline")->UseRealTime()->Repetitions(9);
BENCHMARK_CAPTURE(lookup, read, std::string("read"))
    ->Name("keychain-read/program")
    ->UseRealTime()
    ->Repetitions(9);
BENCHMARK(secretToolLookup)->Name("keychain-read/baseline")->UseRealTime()->Repetitions(9);
