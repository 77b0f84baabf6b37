// Dovrel, the bundle's main executable: starts the application's Node program in graphical mode with a
// small, fixed environment, waits for it to end, and tells the user in an alert when it could not be
// started or ended in failure. It always exits with status 0.
#include "platform/bundle/bundle.h"
#include "platform/child/child.h"
#include "platform/dialogs/dialogs.h"
#include "platform/dialogs/plugin.h"
#include "platform/streams.h"

#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view supportAddress = "support@dovrel.ai";

// The child gets standard input, output and error and the working folder; only its environment is
// replaced. Nothing when it cannot be started, the reason included.
std::optional<StartedChild> launch(const std::string& root, ChildEnvironment environment) {
    return startChild({.executable = runtimePath(root),
                       .arguments = {entryScriptPath(root), "gui", "--app", root},
                       .environment = std::move(environment),
                       .input = ChildStream::inherited,
                       .output = ChildStream::inherited,
                       .error = ChildStream::inherited,
                       // The application decides itself how it ends; the launcher only passes on requests.
                       .endsWithStarter = false});
}

// A request to stop (SIGTERM, SIGINT, SIGHUP) goes on to the application, so that it can shut down
// cleanly, and the launcher goes on waiting for it.
bool endedWithSuccess(const StartedChild& child) {
    auto end = collectChildPassingStops(child.process.get());
    return !end.bySignal && end.status == 0;
}

Alert installationAlert() {
    return {.message = "Dovrel 尚未完整安裝", .informative = "請重新放入完整的 Dovrel.app，再開啟一次。"};
}

Alert startFailureAlert() {
    return {.message = "Dovrel 尚未啟動",
            .informative = "請確認這是 M 系列 Mac，並將 Dovrel 放在應用程式資料夾。若仍無法啟動，請聯絡 " +
                           std::string(supportAddress) + "。"};
}

} // namespace

int main() {
    // The child's status is the launcher's to collect, whatever its caller left SIGCHLD at.
    restoreChildEndSignal();
    const auto root = mainBundleRoot();
    const auto environment = takenOverVariables(ClosedEnvironment::application);
    const auto child = launch(root, environment);
    if (!child)
        runAlert(bundledDialogFunctions(), installationAlert());
    else if (!endedWithSuccess(*child))
        runAlert(bundledDialogFunctions(), startFailureAlert());
    // Where no alert could be shown there is nobody left to tell; the status stays 0 all the same. The
    // dialog toolkit's threads may still run, so no exit handler or destructor runs beside them; the
    // launcher has written nothing that would need flushing.
    endProcessNow(0);
}
