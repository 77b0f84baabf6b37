// Drives the dialogs of a program on the test session's display with xdotool. The tests that use the
// display take it in turn, so the one visible Dovrel window is the one under test.
#pragma once

#include "tests/support/run_program.h"

#include <functional>
#include <string>
#include <vector>

// Runs the program and, once its window is visible, hands the window to `act`; returns the whole run.
ProgramRun runWithWindow(const ProgramCall& call, const std::function<void(const std::string& window)>& act);

std::string windowName(const std::string& window);
// Gives the window the keyboard focus, then sends the keys (xdotool names: "Return", "shift+Tab").
void pressKeys(const std::string& window, const std::vector<std::string>& keys);
void typeText(const std::string& window, const std::string& text);
// The text that the keys make the window's program put on the clipboard; empty when none arrives.
std::string copiedText(const std::string& window, const std::vector<std::string>& keys);

std::vector<std::string> environmentWithoutDisplay();
