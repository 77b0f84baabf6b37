// helper's start-up on a refused request against a minimal C++ program, and its keychain lookups
// against secret-tool looking up the same item.
#include "bench/support/process_timing.h"

#include <benchmark/benchmark.h>
#include <cstdlib>

namespace {

const std::string account(64, 'b');
const std::string service = "ai.dovrel.macos.credentials";

void timeRuns(benchmark::State& state, const TimedCall& call) {
    for (auto _ : state) {
        if (runOnce(call) != 0) {
            state.SkipWithError("the program failed");
            return;
        }
    }
}

bool keychainReachable() {
    const char* flag = std::getenv("DOVREL_SESSION_SERVICES");
    return flag != nullptr && std::string(flag) == "1";
}

void storeRecord() {
    runOnce({benchBundleProgram("helper"),
             {},
             R"({"operation":"write","account":")" + account + R"(","values":{"token":"gho_0123456789"}})"});
}

void refusal(benchmark::State& state) {
    timeRuns(state, {benchBundleProgram("helper"), {}, "[]"});
}

void minimalProgram(benchmark::State& state) {
    timeRuns(state, {DOVREL_MINIMAL_REPLY, {}, "[]"});
}

void lookup(benchmark::State& state, const std::string& operation) {
    if (!keychainReachable()) {
        state.SkipWithError("run inside scripts/with-session-services");
        return;
    }
    storeRecord();
    timeRuns(state, {benchBundleProgram("helper"),
                     {},
                     R"({"operation":")" + operation + R"(","account":")" + account + R"("})"});
}

void secretToolLookup(benchmark::State& state) {
    if (!keychainReachable()) {
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
    ->Repetitions(3);
BENCHMARK(secretToolLookup)->Name("keychain-exists/baseline")->UseRealTime()->Repetitions(3);
BENCHMARK_CAPTURE(lookup, read, std::string("read"))
    ->Name("keychain-read/program")
    ->UseRealTime()
    ->Repetitions(3);
BENCHMARK(secretToolLookup)->Name("keychain-read/baseline")->UseRealTime()->Repetitions(3);
