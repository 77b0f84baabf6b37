// Stands in for AppKit's NSOpenPanel and NSAlert (with its NSScrollView and NSTextView accessory): modal
// dialogs drawn by GTK 3, whose code is loaded only when a dialog is actually shown.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// A folder chooser in which only one folder can be chosen and new folders may be created: its title and
// its two buttons' labels, in the language the user is asked in.
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

// How a dialog ended.
enum class DialogEnd {
    notShown,  // no display could be opened: nobody was asked
    dismissed, // cancelled, Escape, or the window was closed
    chosen,    // an alert's button, or the chooser's folder
};

// What the person answered a dialog, the folder chooser and an alert alike.
struct DialogOutcome {
    DialogEnd end = DialogEnd::notShown;
    std::size_t button = 0; // an alert's chosen button, by its index
    std::string path;       // the chooser's folder, as the chooser gives it
};

// Through a given table, such as the bundled plugin's (`bundledDialogFunctions()`, loaded when the first
// dialog is shown); without one nobody is asked.
struct DialogFunctions;
DialogOutcome chooseFolderModally(const DialogFunctions* dialogs, const FolderChooser& chooser);
DialogOutcome runAlert(const DialogFunctions* dialogs, const Alert& alert);
