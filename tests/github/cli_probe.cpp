// Runs one call of the GitHub CLI integration and prints its outcome, so a test can place this program
// in a copied bundle and see what helper and credward would see.
//   probe state | probe prepare | probe run ARG...   (run prints "<status>\n" then the captured bytes)
//   probe child SECONDS SCRIPT                       (the same for /bin/sh -c SCRIPT with that time limit)
#include "github/github.h"
#include "helper/github_plugin.h"
#include "platform/keychain/plugin.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The run's end as a number, in the shell's way: the child's own status, or 124 for a time-out, 125 for
// output over the limit, 127 for a CLI that could not be run and 126 for one not tried for want of
// descriptors.
int statusOf(const GitHubResult& run) {
    switch (run.end) {
    case GitHubRunEnd::exited:
        return run.exitStatus;
    case GitHubRunEnd::timedOut:
        return 124;
    case GitHubRunEnd::overLimit:
        return 125;
    case GitHubRunEnd::notStarted:
        return 127;
    case GitHubRunEnd::outOfDescriptors:
        return 126;
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    std::string call = argc > 1 ? argv[1] : "";
    if (call == "state") {
        std::printf("%s\n", std::string(gitHubStateWord(gitHubAuthenticationState())).c_str());
        return 0;
    }
    if (call == "prepare") {
        std::printf("%s\n",
                    prepareGitHubAuthenticationStorage(bundledKeychainFunctions()) ? "prepared" : "refused");
        return 0;
    }
    if (call == "run") {
        auto result = runGitHubCli(std::vector<std::string>(argv + 2, argv + argc));
        std::printf("%d\n", statusOf(result));
        std::fwrite(result.bytes.data(), 1, result.bytes.size(), stdout);
        return 0;
    }
    if (call == "child" && argc == 4) {
        auto result = runChildProcess({"/bin/sh", -1, {"-c", argv[3]}, {{"PATH", "/usr/bin:/bin"}}, "/"}, {},
                                      std::strtod(argv[2], nullptr));
        std::printf("%d\n", statusOf(result));
        std::fwrite(result.bytes.data(), 1, result.bytes.size(), stdout);
        return 0;
    }
    return 2;
}
