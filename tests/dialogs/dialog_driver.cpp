#include "tests/dialogs/dialog_driver.h"

#include <future>

namespace {

std::string xdotool(const std::vector<std::string>& arguments) {
    auto run = runProgram(
        {.program = "/usr/bin/xdotool", .arguments = arguments, .timeout = std::chrono::seconds(20)});
    return run.out.substr(0, run.out.find('\n'));
}

} // namespace

ProgramRun runWithWindow(const ProgramCall& call, const std::function<void(const std::string& window)>& act) {
    auto pending = std::async(std::launch::async, [call] { return runProgram(call); });
    // The dialogs' windows carry the application's class, whichever program shows them.
    auto window = xdotool({"search", "--sync", "--onlyvisible", "--class", "Dovrel"});
    if (!window.empty())
        act(window);
    return pending.get();
}

std::string windowName(const std::string& window) {
    return xdotool({"getwindowname", window});
}

void pressKeys(const std::string& window, const std::vector<std::string>& keys) {
    xdotool({"windowfocus", "--sync", window});
    std::vector<std::string> arguments{"key", "--clearmodifiers"};
    arguments.insert(arguments.end(), keys.begin(), keys.end());
    xdotool(arguments);
}

void typeText(const std::string& window, const std::string& text) {
    xdotool({"windowfocus", "--sync", window});
    xdotool({"type", "--delay", "40", text});
}

std::string copiedText(const std::string& window, const std::vector<std::string>& keys) {
    std::vector<std::string> arguments{window};
    arguments.insert(arguments.end(), keys.begin(), keys.end());
    return runProgram({.program = fixturesPath() + "/clipboard-text",
                       .arguments = arguments,
                       .timeout = std::chrono::seconds(30)})
        .out;
}

std::vector<std::string> environmentWithoutDisplay() {
    return environmentWith({"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY"});
}
