// The dialog operations; the dialogs themselves are not built yet.
#include "helper/operations.h"

Reply chooseFolder(const Json&) {
    return failureReply();
}

Reply confirmProjectCommand(const Json&) {
    return failureReply();
}
