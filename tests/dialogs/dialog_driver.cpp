#include "tests/dialogs/dialog_driver.h"

#include <future>
#include <optional>
#include <thread>

namespace {

std::string xdotool(const std::vector<std::string>& arguments) {
    auto run = runProgram({.program = "/usr/bin/xdotool", .arguments = arguments});
    return run.out.substr(0, run.out.find('\n'));
}

// The first visible window that the criteria match, empty for none; nothing when the search broke off.
// xdotool ends a search with an X error and no window when a window it looks at is destroyed under it,
// and one run's windows go while the next run's come.
std::optional<std::string> searchOnce(const std::vector<std::string>& criteria, bool awaitOne) {
    std::vector<std::string> arguments{"search", "--onlyvisible"};
    if (awaitOne)
        arguments.push_back("--sync");
    arguments.insert(arguments.end(), criteria.begin(), criteria.end());
    auto run = runProgram({.program = "/usr/bin/xdotool", .arguments = arguments});
    if (!run.err.empty())
        return std::nullopt;
    return run.out.substr(0, run.out.find('\n'));
}

} // namespace

std::string visibleWindow(const std::vector<std::string>& criteria) {
    // A search breaks off only while a window is being destroyed, which takes moments.
    for (int search = 0; search < 100; ++search) {
        if (auto window = searchOnce(criteria, false))
            return *window;
    }
    return {};
}

// Keys go to the window that has the focus, and the window manager gives it to a new window once it has
// mapped it: a dialog that never gets the focus is never answered, and its test fails on its time limit.
bool becameActive(const std::string& window) {
    for (int look = 0; look < 2400; ++look) {
        if (xdotool({"getactivewindow"}) == window)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// The X server destroys a program's windows only once it has noticed the program's end, so the window of
// the run before may still be listed; the next run's window would be taken for it and never answered.
bool awaitNoWindow(const std::string& windowClass) {
    for (int look = 0; look < 2400; ++look) {
        if (searchOnce({"--class", windowClass}, false) == "")
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

ProgramRun runWithWindow(const ProgramCall& call, const std::function<void(const std::string& window)>& act,
                         const std::string& windowClass) {
    awaitNoWindow(windowClass);
    auto pending = std::async(std::launch::async, [call] { return runProgram(call); });
    std::optional<std::string> window;
    while (!window && pending.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        window = searchOnce({"--class", windowClass}, true);
    if (window && !window->empty() && becameActive(*window))
        act(*window);
    return pending.get();
}

std::string windowName(const std::string& window) {
    return xdotool({"getwindowname", window});
}

void pressKeys(const std::string&, const std::vector<std::string>& keys) {
    std::vector<std::string> arguments{"key", "--clearmodifiers"};
    arguments.insert(arguments.end(), keys.begin(), keys.end());
    xdotool(arguments);
}

void typeText(const std::string&, const std::string& text) {
    xdotool({"type", "--delay", "40", text});
}

std::string windowProperty(const std::string& window, const std::string& name) {
    return runProgram({.program = "/usr/bin/xprop", .arguments = {"-id", window, "-notype", name}}).out;
}

std::string copiedText(const std::string&, const std::vector<std::string>& keys) {
    std::vector<std::string> arguments = keys;
    return runProgram({.program = fixturesPath() + "/clipboard-text", .arguments = arguments}).out;
}

std::vector<std::string> environmentWithoutDisplay() {
    return environmentWith({"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY"});
}
