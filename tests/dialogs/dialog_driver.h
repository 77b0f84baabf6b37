// Drives the dialogs of a program on the test session's display with xdotool. The window manager gives a
// new dialog the keyboard, so keys go to whichever window it made active. The tests that use the display
// take it in turn, so the one visible Dovrel window is the one under test.
#pragma once

#include "tests/support/run_program.h"

#include <functional>
#include <string>
#include <vector>

// Runs the program and, once a window of the class is visible and has the focus, hands the window to
// `act`; returns the whole run.
ProgramRun runWithWindow(const ProgramCall& call, const std::function<void(const std::string& window)>& act,
                         const std::string& windowClass = "Dovrel");

// The first visible window that xdotool's search criteria match ({"--class", "Dovrel"}), empty for
// none. A search that xdotool broke off, as it does when a window it looks at is destroyed under it, is
// made again.
std::string visibleWindow(const std::vector<std::string>& criteria);
// Waits, up to the hang limit, until the window has the focus, which keys sent to it need.
bool becameActive(const std::string& window);
// Waits, up to the hang limit, until no window of the class is visible; false when one still is.
bool awaitNoWindow(const std::string& windowClass);

std::string windowName(const std::string& window);
// xprop's line for the property, "_NET_WM_STATE = _NET_WM_STATE_MODAL, ..." for instance.
std::string windowProperty(const std::string& window, const std::string& name);
// Sends the keys (xdotool names: "Return", "shift+Tab") to the window, which has the focus.
void pressKeys(const std::string& window, const std::vector<std::string>& keys);
void typeText(const std::string& window, const std::string& text);
// The text that the keys make the window's program put on the clipboard; empty when none arrives.
std::string copiedText(const std::string& window, const std::vector<std::string>& keys);

std::vector<std::string> environmentWithoutDisplay();
