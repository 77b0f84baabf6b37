// Timing whole program runs for benchmarks: start, feed standard input, drain output, wait.
#pragma once

// The bundle's files are found as the tests find them, through bundleEntry().
#include "tests/support/run_program.h"

#include <benchmark/benchmark.h>
#include <string>
#include <vector>

struct TimedCall {
    std::string program;
    std::vector<std::string> arguments;
    std::string input;
    bool discardOutput = true; // read and drop standard output; standard error goes to /dev/null
};

// Runs the program once and returns its exit status (-1 when it could not be run or was killed).
int runOnce(const TimedCall& call);

// Times one run of the program per iteration; a run that fails ends the benchmark with an error.
void timeRuns(benchmark::State& state, const TimedCall& call);
// The wall-clock seconds of one run.
double secondsOf(const TimedCall& call);

// The GitHub CLI stand-in at `cli` signed in, once per process, in a throw-away home that this
// process's HOME and GH_CONFIG_DIR then point at, so that the programs and the CLI run directly see the
// same sign-in. It needs the throw-away keychain of scripts/with-session-services; without the sign-in
// the benchmark ends with an error.
bool signedIn(benchmark::State& state, const std::string& cli);
void timeWhenSignedIn(benchmark::State& state, const std::string& cli, const TimedCall& call);

// git's request for github.com, and `git credential fill` with `helper` as git's only credential helper.
extern const std::string gitHubFill;
TimedCall gitFill(const std::string& helper);

// Leaves the file in the page cache as a file read from the disk is: in the large folios of the kernel's
// read-ahead. A file just written in small pieces is held in 4 KiB pages instead, and mapping those costs
// ten times the kernel time, a tenth of hashing a 45 MB CLI. Returns false when the file cannot be read.
bool cacheAsReadFromDisk(const std::string& path);
