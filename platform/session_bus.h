// Whether the desktop session's bus can be reached without starting one.
#pragma once

// True when the session bus is named by DBUS_SESSION_BUS_ADDRESS or listens at $XDG_RUNTIME_DIR/bus.
// Without either, GDBus would try to autolaunch a bus through X11; a caller that only wants a service
// of the user's session goes without it instead.
bool sessionBusConfigured();
