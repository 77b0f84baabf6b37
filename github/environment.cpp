// The GitHub CLI's private configuration directory and the closed environment of its runs.
#include "github/github.h"

#include "platform/child/child.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/paths.h"

namespace {

constexpr std::string_view configRelativePath = "Library/Application Support/Dovrel/state/github-cli";

} // namespace

std::optional<std::string> gitHubConfigDirectory() {
    std::string home = homeDirectory();
    if (home.empty())
        return std::nullopt;
    // Links at or above the home folder are the system's (on ostree desktops /home leads to var/home);
    // the home folder is taken as the system resolves it, so that only links below it are refused.
    auto resolvedHome = resolvedPath(home);
    if (!resolvedHome)
        return std::nullopt;
    std::string directory = standardizedPath(*resolvedHome + "/" + std::string(configRelativePath));
    // A link below the home folder could hand the CLI's sign-in to a directory someone else controls.
    if (reachedThroughSymbolicLink(directory))
        return std::nullopt;
    return directory;
}

std::optional<GitHubEnvironment> githubEnvironment() {
    auto directory = gitHubConfigDirectory();
    if (!directory)
        return std::nullopt;
    GitHubEnvironment environment{
        {"HOME", withoutTrailingSlashes(homeDirectory())},
        {"PATH", "/usr/bin:/bin"},
        {"GH_CONFIG_DIR", *directory},
        {"GIT_CONFIG_GLOBAL", *directory + "/gitconfig"},
        {"GIT_CONFIG_NOSYSTEM", "1"},
        {"GIT_TERMINAL_PROMPT", "0"},
        {"GH_PROMPT_DISABLED", "1"},
        {"GH_NO_UPDATE_NOTIFIER", "1"},
        {"GH_NO_EXTENSION_UPDATE_NOTIFIER", "1"},
        {"NO_COLOR", "1"},
    };
    for (auto& [name, value] : takenOverVariables(ClosedEnvironment::gitHubCli))
        environment[name] = std::move(value);
    return environment;
}
