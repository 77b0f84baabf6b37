// The closed environments of the children the programs start: which of the running program's own
// variables each child is given. Beside identity and locale these are the names through which a Linux
// process finds what a macOS process reaches without being told (the window server, the keychain, the
// input method, the screen's scale, the launch feedback) in the user's desktop session. Every other
// variable stays out.
#pragma once

#include "platform/child/child.h"

// The children that get a closed environment.
enum class ClosedEnvironment {
    // The application's Node program, started by the launcher: its helper runs show dialogs and reach
    // the keychain.
    application,
    // The GitHub CLI, whose fixed entries its caller adds: it reaches the keychain and opens the browser,
    // but shows no window of its own and reads no typed text.
    gitHubCli,
};

// The variables of the running program that the child is given, in their fixed order, each only when
// present, an empty value included.
ChildEnvironment takenOverVariables(ClosedEnvironment child);
