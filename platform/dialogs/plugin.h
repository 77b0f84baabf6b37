// The entry point of the dialog plugin, shared by its loader (dialogs.cpp) and the plugin (gtk.cpp). GTK
// costs about ten milliseconds to load and starts threads, so only a program that is about to show a dialog
// loads it.
#pragma once

#include "platform/dialogs/dialogs.h"

struct DialogFunctions {
    DialogOutcome (*chooseFolder)(const FolderChooser& chooser);
    DialogOutcome (*runAlert)(const Alert& alert);
};

inline constexpr const char* dialogsPluginFile = "dovrel-dialogs.so";
inline constexpr const char* dialogsPluginEntry = "dovrelDialogFunctions";

extern "C" const DialogFunctions* dovrelDialogFunctions();

// The bundled plugin's table; nullptr when it cannot be loaded.
const DialogFunctions* bundledDialogFunctions();
