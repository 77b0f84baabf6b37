// Runs a built program as a black box: given arguments, standard input and environment, it returns
// the exact standard output, standard error and exit status.
#pragma once

#include "platform/child/child.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// How long a run may take before it counts as hung: minutes, so that a slow machine is never taken for
// a fault.
inline constexpr std::chrono::minutes hangLimit{4};

struct ProgramCall {
    std::string program;
    std::vector<std::string> arguments;
    std::string input;
    // The whole environment as NAME=value entries; unset inherits the test's own.
    std::optional<std::vector<std::string>> environment;
    std::chrono::milliseconds timeout = hangLimit;
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

// NAME=value entries as a child's environment; an entry without "=" is a name with an empty value.
ChildEnvironment environmentOf(const std::vector<std::string>& entries);
// The test's own environment, as a child that inherited it would see it.
ChildEnvironment callerEnvironment();

// Writes all of `bytes` to a started child's standard input, waiting while its pipe is full; false once
// the child has closed its end or ended. SIGPIPE is ignored from then on.
bool writeChildInput(int input, int process, std::string_view bytes);

// Reads up to `size` bytes, blocking; 0 at end of file or on an error.
std::size_t readChildOutput(int output, char* buffer, std::size_t size);

// Starts the program in the background with `input` written and its standard input closed; its
// standard output and error go to the null device. The caller collects it.
StartedChild startInBackground(const std::string& program, const std::vector<std::string>& arguments,
                               const std::string& input, const std::vector<std::string>& environment);

// The processes that `pid` started and that still run, from the kernel's list of each of its threads.
std::vector<pid_t> childrenOf(pid_t pid);

// A process descriptor for any process, to learn when it has ended.
OwnedDescriptor watchProcess(pid_t pid);

// True once `holds` does. Checked every 20 ms for up to `hangLimit`: a slow machine is never taken for
// a fault, only something that does not happen at all.
bool eventually(const std::function<bool()>& holds);

// The environment of the test itself, with `changes` (NAME=value, or NAME alone to remove) applied.
std::vector<std::string> environmentWith(const std::vector<std::string>& changes);

// The folders of the build: the bundle and where the test's own fixtures are built.
std::string bundlePath();
// Every entry of the bundle, relative to its root, from the build's one list of them.
std::vector<std::string> bundleEntries();
// The full path of the bundle's entry with this file name: "helper", "gh", "dovrel-keychain.so".
std::string bundleEntry(const std::string& name);
std::string bundleProgram(const std::string& name); // helper, credward or pidlens
std::string fixturesPath();

// True inside scripts/with-session-services, whose throw-away keychain and display tests may use;
// outside it a test must not touch the user's own.
bool insideSessionServices();

// Skips the test outside scripts/with-session-services: its keychain and display are throw-away, and a
// test must never touch the user's own.
#define SKIP_OUTSIDE_SESSION_SERVICES()                                                                      \
    if (insideSessionServices()) {                                                                           \
    } else                                                                                                   \
        GTEST_SKIP() << "needs the throw-away keychain and display of scripts/with-session-services"

// helper's whole reply to a request it refuses.
inline const std::string failureReplyText = R"({"ok":false})";

// Runs helper (the bundle's, unless another is named) with one request on standard input and returns
// its reply, expecting a clean exit with nothing on standard error. A hang is a run that has not
// answered after minutes.
std::string ask(const std::string& request,
                std::optional<std::vector<std::string>> environment = std::nullopt,
                const std::string& helper = bundleProgram("helper"));

// A credential record request: the operation, the account and any further members, written as JSON
// (`extra` starts with a comma).
std::string request(const std::string& operation, const std::string& account, const std::string& extra = "");
std::string writeRequest(const std::string& account, const std::string& values);

// Runs the bundle's pidlens with the arguments.
ProgramRun pidlens(const std::vector<std::string>& arguments);

// A fresh folder under the test's temporary folder, removed by the caller when it wants.
std::string makeScratchFolder(const std::string& prefix);
