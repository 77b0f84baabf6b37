#include "platform/dialogs/dialogs.h"

#include "platform/bundle/bundle.h"
#include "platform/dialogs/plugin.h"

const DialogFunctions* bundledDialogFunctions() {
    return bundledPluginFunctions<DialogFunctions>(dialogsPluginFile, dialogsPluginEntry);
}

DialogOutcome chooseFolderModally(const DialogFunctions* dialogs, const FolderChooser& chooser) {
    return dialogs == nullptr ? DialogOutcome{} : dialogs->chooseFolder(chooser);
}

DialogOutcome runAlert(const DialogFunctions* dialogs, const Alert& alert) {
    return dialogs == nullptr ? DialogOutcome{} : dialogs->runAlert(alert);
}
