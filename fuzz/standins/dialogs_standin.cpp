// Dialogs that answer at once, without a display, for fuzzing the operations that show them.
#include "fuzz/standins/standins.h"

namespace {

FolderChoice chooseFolder(const FolderChooser& chooser) {
    // Each title gives another answer, so that every reply form is reached.
    const auto& title = chooser.title;
    if (title.starts_with("Choose"))
        return {true, "/home/someone/My \"Work\"/\\x"};
    if (title.size() % 2 == 0)
        return {true, std::nullopt};
    return {false, std::nullopt};
}

AlertAnswer answerAlert(const Alert& alert) {
    auto size = alert.accessoryText ? alert.accessoryText->size() : 0;
    switch (size % 4) {
    case 0:
        return {AlertOutcome::button, 1};
    case 1:
        return {AlertOutcome::button, 0};
    case 2:
        return {AlertOutcome::dismissed, 0};
    default:
        return {AlertOutcome::notShown, 0};
    }
}

constexpr DialogFunctions functions{chooseFolder, answerAlert};

} // namespace

const DialogFunctions* dialogsStandin() {
    return &functions;
}
