// Stands in for AppKit's NSOpenPanel and NSAlert (with its NSScrollView and NSTextView accessory): modal
// dialogs drawn by GTK 3, whose code is loaded only when a dialog is actually shown.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// A folder chooser in which only one folder can be chosen and new folders may be created.
struct FolderChoice {
    bool shown = false;              // false when no display could be opened: nobody was asked
    std::optional<std::string> path; // the folder as the chooser gives it; empty when cancelled
};

// The chooser's title and its two buttons' labels, in the language the user is asked in.
struct FolderChooser {
    std::string title;
    std::string cancel;
    std::string select;
};

enum class AlertStyle { warning, informational };

struct Alert {
    std::string message;
    std::string informative;
    AlertStyle style = AlertStyle::warning;
    // In order from the left-hand side; the first is the default one, chosen by Return, and the others
    // have no key at all. None gives the toolkit's own single "OK" button.
    std::vector<std::string> buttons;
    // Shown below the texts, read-only and selectable, in a 520 by 160 scrolling monospaced area.
    std::optional<std::string> accessoryText;
    std::string accessoryName; // the area's name, as a screen reader announces it
    bool floating = false;     // kept above ordinary windows
};

enum class AlertOutcome { notShown, dismissed, button };

struct AlertAnswer {
    AlertOutcome outcome = AlertOutcome::notShown; // dismissed: Escape, or the window was closed
    std::size_t button = 0;                        // the chosen button's index, when outcome is button
};

// Through a given table, such as the bundled plugin's (`bundledDialogFunctions()`, loaded when the first
// dialog is shown); without one nobody is asked.
struct DialogFunctions;
FolderChoice chooseFolderModally(const DialogFunctions* dialogs, const FolderChooser& chooser);
AlertAnswer runAlert(const DialogFunctions* dialogs, const Alert& alert);
