// Drives programs that show dialogs on the test session's display: starts them without waiting, finds
// their windows, sends keys and reads what a dialog put on the clipboard.
#pragma once

#include "tests/support/run_program.h"

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

struct StartedProgram {
    pid_t pid = -1;
    int input = -1; // open only when the call asked to keep it open
    int output = -1;
    int errors = -1;
};

// Starts the program with call.input written to it; its standard input is then closed unless
// keepInputOpen is set.
StartedProgram startProgram(const ProgramCall& call, bool keepInputOpen = false);
// Closes the input, collects everything the program writes until it ends, and reaps it. A program
// still running after `limit` is killed and reported as timed out.
ProgramRun finishProgram(StartedProgram& program, std::chrono::milliseconds limit = std::chrono::seconds(30));

// The first visible window of the process, waiting up to 20 seconds for it; empty when none appears.
std::string windowOf(pid_t pid);
std::string windowName(const std::string& window);
// Gives the window the keyboard focus, then sends the keys (xdotool names: "Return", "shift+Tab").
void pressKeys(const std::string& window, const std::vector<std::string>& keys);
void typeText(const std::string& window, const std::string& text);
// The text that the keys put on the clipboard, or empty when nothing arrived within 20 seconds.
std::string copiedText(const std::string& window, const std::vector<std::string>& keys);

// The test session's display, or the environment without any display.
std::vector<std::string> environmentWithoutDisplay();
