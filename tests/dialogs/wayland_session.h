// A headless sway compositor started for one test, with keys sent by wtype and windows read from sway's
// tree. sway refuses to run as root, so it runs as the unprivileged user nobody, with a runtime folder
// of that user's; clients reach it through the absolute path of its socket.
#pragma once

#include "tests/support/run_program.h"

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct WaylandSession {
    std::string scratch;
    std::string socket;    // for WAYLAND_DISPLAY
    std::string ipcSocket; // for swaymsg
    pid_t compositor = -1;
    pid_t keyboard = -1; // a virtual keyboard kept for the whole session
    pid_t keys = -1;     // the keyboard of the last keys sent, kept until the next or the run's end
};

// Nothing when sway is missing or cannot start here.
std::optional<WaylandSession> startWaylandSession();
void stopWaylandSession(WaylandSession& session);

// The test's environment with the display replaced by the session's socket.
std::vector<std::string> waylandEnvironment(const WaylandSession& session);

// Runs the program and, once a window of the application id is mapped and has the focus, hands sway's
// description of it to `act` (its "name", "pid", "type", ...); returns the whole run.
ProgramRun runWithWaylandWindow(WaylandSession& session, const ProgramCall& call,
                                const std::function<void(const nlohmann::json& window)>& act,
                                const std::string& appId = "Dovrel");

// Sends wtype's arguments ("-k", "Return", ...) to the focused window. The virtual keyboard that sent
// them stays until the next keys or the end of the run: GTK drops a button's activation when the
// keyboard that pressed it goes away before the press has taken effect.
void sendWaylandKeys(WaylandSession& session, const std::vector<std::string>& arguments);
std::string swaymsg(const WaylandSession& session, const std::vector<std::string>& arguments);
