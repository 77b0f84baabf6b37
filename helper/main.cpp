// helper: answers one JSON request from standard input with one JSON reply on standard output.
#include "helper/frame.h"
#include "platform/child/child.h"
#include "platform/streams.h"
#include "platform/wiped.h"

int main() {
    disableCoreFiles();
    raiseDescriptorLimit();
    restoreChildEndSignal();
    // A caller that stops reading must not kill the helper; the failed write is simply the end.
    ignoreBrokenPipes();
    auto input = readBoundedInput(standardInput, requestLimit);
    const HelperPlugins plugins{bundledKeychainFunctions, bundledDialogFunctions, bundledGitHubFunctions};
    output(input.complete ? answerRequest(input.bytes, plugins) : failureReply());
}
