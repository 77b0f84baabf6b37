// pidlens against the ps and pstree runs that would answer the same questions: one process's identity,
// and a tree of 255 descendants; and one identity against the least a C program can do to read one
// /proc file and print a line.
#include "bench/support/process_timing.h"
#include "tests/pidlens/process_tree.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

namespace {

// The tree lives for the whole benchmark run and is ended when the program exits.
struct StandingTree {
    ProcessTree tree = startProcessTree(twoLevelTree(15, 16));
    ~StandingTree() { stopProcessTree(tree); }
};

std::string treeRoot() {
    static StandingTree standing;
    return std::to_string(standing.tree.pids[0]);
}

void identity(benchmark::State& state) {
    timeRuns(state, {bundleEntry("pidlens"), {std::to_string(getpid())}, ""});
}

void psIdentity(benchmark::State& state) {
    timeRuns(
        state,
        {"/usr/bin/ps", {"-o", "pid=,ppid=,pgid=,uid=,lstart=,stat=", "-p", std::to_string(getpid())}, ""});
}

void minimalProcLine(benchmark::State& state) {
    timeRuns(state, {DOVREL_MINIMAL_PROC_LINE, {std::to_string(getpid())}, ""});
}

void tree(benchmark::State& state) {
    timeRuns(state, {bundleEntry("pidlens"), {"--tree", treeRoot()}, ""});
}

void pstree(benchmark::State& state) {
    timeRuns(state, {"/usr/bin/pstree", {"-p", treeRoot()}, ""});
}

} // namespace

BENCHMARK(identity)->Name("identity/program")->UseRealTime()->Repetitions(5)->MinTime(0.5);
BENCHMARK(psIdentity)->Name("identity/baseline")->UseRealTime()->Repetitions(5)->MinTime(0.5);
BENCHMARK(identity)->Name("identity_vs_minimal_c/program")->UseRealTime()->Repetitions(5)->MinTime(0.5);
BENCHMARK(minimalProcLine)
    ->Name("identity_vs_minimal_c/baseline")
    ->UseRealTime()
    ->Repetitions(5)
    ->MinTime(0.5);
BENCHMARK(tree)->Name("tree-255/program")->UseRealTime()->Repetitions(5)->MinTime(0.5);
BENCHMARK(pstree)->Name("tree-255/baseline")->UseRealTime()->Repetitions(5)->MinTime(0.5);
