// Runs a built program as a black box: given arguments, standard input and environment, it returns
// the exact standard output, standard error and exit status.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

struct ProgramCall {
    std::string program;
    std::vector<std::string> arguments;
    std::string input;
    // The whole environment as NAME=value entries; unset inherits the test's own.
    std::optional<std::vector<std::string>> environment;
    std::chrono::milliseconds timeout{60'000};
    bool closeInputAtStart = false;  // the program's standard input is closed before it reads
    bool closeOutputAtStart = false; // nobody reads standard output: the pipe's reader is gone
};

struct ProgramRun {
    std::string out;
    std::string err;
    int exitStatus = -1; // the exit status, or -1 when a signal ended the program
    int signal = 0;      // the signal that ended the program, if one did
    bool timedOut = false;
    long maxResidentKb = 0; // the program's peak resident memory
};

ProgramRun runProgram(const ProgramCall& call);

// The environment of the test itself, with `changes` (NAME=value, or NAME alone to remove) applied.
std::vector<std::string> environmentWith(const std::vector<std::string>& changes);

// The folders of the build: the bundle and where the test's own fixtures are built.
std::string bundlePath();
std::string bundleProgram(const std::string& name); // Contents/Resources/bin/<name>
std::string fixturesPath();

// True inside scripts/with-session-services, whose throw-away keychain and display tests may use;
// outside it a test must not touch the user's own.
bool insideSessionServices();

// A fresh folder under the test's temporary folder, removed by the caller when it wants.
std::string makeScratchFolder(const std::string& prefix);
