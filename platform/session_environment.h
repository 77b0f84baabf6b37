// Stands in for what a macOS process reaches without being told (the window server, the keychain, the
// input method, the screen's scale, the launch feedback): the environment names through which a Linux
// process finds them in the user's desktop session. They are copied, when present, where the programs
// build a closed environment; every other variable stays out.
#pragma once

#include <array>

// The session bus (the Secret Service, opening a URL) and the display. Needed by every program that
// reaches the keychain or shows or opens something: the Node program's helper runs and the GitHub CLI.
inline constexpr std::array<const char*, 5> desktopSessionVariables = {
    "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY"};

// What the helper's dialogs need from the desktop beyond reaching the display. Only the Node program is
// given them: the GitHub CLI shows no window and reads no typed text.
inline constexpr std::array<const char*, 6> desktopDialogVariables = {
    // The input method: GTK loads the module it names (fcitx, ibus, xim), and its X input method server
    // is found through XMODIFIERS; without them nothing but the keyboard's own letters can be typed.
    "GTK_IM_MODULE", "XMODIFIERS",
    // The scale of an X11 screen, which GTK does not learn from the display: the integer window scale
    // and the factor for text.
    "GDK_SCALE", "GDK_DPI_SCALE",
    // The launch's startup notification: it ends the desktop's busy cursor, and the window the user's
    // launch leads to may take the focus (X11 startup id, Wayland activation token).
    "DESKTOP_STARTUP_ID", "XDG_ACTIVATION_TOKEN"};
