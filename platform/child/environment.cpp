#include "platform/child/child.h"

#include <cstdlib>
#include <span>

namespace {

// The application is given the user's home; the GitHub CLI's is one of its fixed entries.
constexpr const char* home[] = {"HOME"};

// Who the user is and how text is written and read.
constexpr const char* identityAndLocale[] = {"USER", "LOGNAME", "TMPDIR", "LANG", "LC_CTYPE"};

// The session bus (the Secret Service, opening a URL) and the display.
constexpr const char* desktopSession[] = {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "DISPLAY",
                                          "WAYLAND_DISPLAY", "XAUTHORITY"};

// What the helper's dialogs need from the desktop beyond reaching the display.
constexpr const char* desktopDialogs[] = {
    // The input method: GTK loads the module it names (fcitx, ibus, xim), and its X input method server
    // is found through XMODIFIERS; without them nothing but the keyboard's own letters can be typed.
    "GTK_IM_MODULE", "XMODIFIERS",
    // The scale of an X11 screen, which GTK does not learn from the display: the integer window scale
    // and the factor for text.
    "GDK_SCALE", "GDK_DPI_SCALE",
    // The launch's startup notification: it ends the desktop's busy cursor, and the window the user's
    // launch leads to may take the focus (X11 startup id, Wayland activation token).
    "DESKTOP_STARTUP_ID", "XDG_ACTIVATION_TOKEN"};

void takeOver(std::span<const char* const> names, ChildEnvironment& environment) {
    for (const char* name : names)
        if (const char* value = std::getenv(name))
            environment.emplace_back(name, value);
}

} // namespace

ChildEnvironment takenOverVariables(ClosedEnvironment child) {
    ChildEnvironment environment;
    if (child == ClosedEnvironment::application)
        takeOver(home, environment);
    takeOver(identityAndLocale, environment);
    takeOver(desktopSession, environment);
    if (child == ClosedEnvironment::application)
        takeOver(desktopDialogs, environment);
    return environment;
}
