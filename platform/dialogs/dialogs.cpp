#include "platform/dialogs/dialogs.h"

#include "platform/bundle/bundle.h"
#include "platform/dialogs/plugin.h"

const DialogFunctions* bundledDialogFunctions() {
    return bundledPluginFunctions<DialogFunctions>(dialogsPluginFile, dialogsPluginEntry);
}

FolderChoice chooseFolderModally(const DialogFunctions* dialogs, const FolderChooser& chooser) {
    return dialogs == nullptr ? FolderChoice{} : dialogs->chooseFolder(chooser);
}

AlertAnswer runAlert(const DialogFunctions* dialogs, const Alert& alert) {
    return dialogs == nullptr ? AlertAnswer{} : dialogs->runAlert(alert);
}
