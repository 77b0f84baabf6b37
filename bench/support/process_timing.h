// Timing whole program runs for benchmarks: start, feed standard input, drain output, wait.
#pragma once

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

std::string benchBundleProgram(const std::string& name); // <bundle>/Contents/Resources/bin/<name>
