// Dialogs that answer at once, without a display, for fuzzing the operations that show them.
#include "fuzz/standins/standins.h"

namespace {

DialogOutcome chooseFolder(const FolderChooser& chooser) {
    // Each title gives another answer, so that every reply form is reached.
    const auto& title = chooser.title;
    if (title.starts_with("Choose"))
        return {.end = DialogEnd::chosen, .path = "/home/someone/My \"Work\"/\\x"};
    if (title.size() % 2 == 0)
        return {.end = DialogEnd::dismissed};
    return {.end = DialogEnd::notShown};
}

DialogOutcome answerAlert(const Alert& alert) {
    auto size = alert.accessoryText ? alert.accessoryText->size() : 0;
    switch (size % 4) {
    case 0:
        return {.end = DialogEnd::chosen, .button = 1};
    case 1:
        return {.end = DialogEnd::chosen, .button = 0};
    case 2:
        return {.end = DialogEnd::dismissed};
    default:
        return {.end = DialogEnd::notShown};
    }
}

constexpr DialogFunctions functions{chooseFolder, answerAlert};

} // namespace

const DialogFunctions* dialogsStandin() {
    return &functions;
}
