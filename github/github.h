// The GitHub CLI integration shared by helper and credward: the shipped CLI and its check, its closed
// environment and configuration directory, its runs, and the sign-in state read from it.
#pragma once

#include "github/state.h"
#include "platform/child/child.h"
#include "platform/descriptor.h"
#include "platform/paths.h"
#include "platform/wiped.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

inline constexpr std::string_view gitHubHost = "github.com";
inline constexpr std::string_view gitHubGistHost = "gist.github.com";

// The SHA-256 of the GitHub CLI packaged at runtime/gh, written by the build from the packaged file.
extern const std::string_view expectedGitHubCliSha256;

inline constexpr std::size_t gitHubOutputLimit = 65'536;

// How one run of the GitHub CLI ended.
enum class GitHubRunEnd {
    exited,           // within the time limit, with all its output read
    timedOut,         // the time limit passed, the child could not be stopped, or its output was held open
    overLimit,        // within the time limit, but with more than gitHubOutputLimit bytes of output
    notStarted,       // no verified CLI, no environment, or the start failed
    outOfDescriptors, // not tried: the process had too few free descriptors for a run
};

// One run of the GitHub CLI: how it ended, the child's exit status (a signal's number when one ended it)
// when it exited, and the standard output captured, which may hold the token: everything the child wrote
// when it exited, what it wrote until it was stopped when it timed out and then ended with its output
// closed, and nothing otherwise.
struct GitHubResult {
    GitHubRunEnd end = GitHubRunEnd::notStarted;
    std::int32_t exitStatus = 0;
    WipedBuffer bytes;

    bool exitedWith(std::int32_t status) const { return end == GitHubRunEnd::exited && exitStatus == status; }
    bool succeeded() const { return exitedWith(0); }
};

// The child's standard output up to gitHubOutputLimit bytes in total; what it held is wiped when it is
// released.
class BoundedGitHubOutput {
public:
    // False once the total would pass the limit: the chunk is dropped and reading should stop.
    bool append(std::string_view chunk);
    // What was kept, handed over, and whether the limit was passed.
    std::pair<WipedBuffer, bool> result();

private:
    WipedBuffer storage;
    bool overflow = false;
};

// The checked GitHub CLI: where it is, and the open file that was checked, which is what is started.
struct VerifiedGitHubCli {
    std::string path;
    OwnedDescriptor file;
};

// The GitHub CLI at runtime/gh below `resourcesFolder` when nothing along the way is a link, it is a
// regular file of 1 to 100,000,000 bytes that someone may execute and neither group nor others may
// write, and its SHA-256 is `expectedSha256`.
std::optional<VerifiedGitHubCli> verifiedGitHubCli(const std::string& resourcesFolder,
                                                   std::string_view expectedSha256);
// The same, below the folder two levels above the running executable's real location.
std::optional<VerifiedGitHubCli> bundledGitHubCli();

// <home>/Library/Application Support/Dovrel/state/github-cli, or nothing when it is reached through a
// symbolic link or there is no home directory.
std::optional<std::string> gitHubConfigDirectory();

using GitHubEnvironment = std::map<std::string, std::string>;
// The whole environment of a GitHub CLI run; nothing without a configuration directory.
std::optional<GitHubEnvironment> githubEnvironment();

// Runs the shipped GitHub CLI. Returns within `timeout` + 4 seconds, the writing of `input` included.
GitHubResult runGitHubCli(const std::vector<std::string>& arguments, std::string_view input = {},
                          double timeout = 15.0);
// Runs any child the same way: what runGitHubCli does once it has the CLI and its environment.
GitHubResult runChildProcess(const ChildLaunch& launch, std::string_view input, double timeout);

GitHubState gitHubAuthenticationState();
// The state for the result of the status query.
GitHubState authenticationStateOf(const GitHubResult& statusQuery);
inline const std::vector<std::string> gitHubStatusArguments{
    "auth", "status", "--active", "--hostname", std::string(gitHubHost), "--json", "hosts"};

// Creates the configuration directory (mode 700) and proves with a throw-away item that the keychain
// reached through `keychain` takes and gives up a secret.
struct KeychainFunctions;
bool prepareGitHubAuthenticationStorage(const KeychainFunctions* keychain);

// The integration's calls as its users make them, in one table, so that a caller can be handed another.
struct GitHubCli {
    GitHubState (*authenticationState)();
    bool (*prepareAuthenticationStorage)(const KeychainFunctions* keychain);
    GitHubResult (*run)(const std::vector<std::string>& arguments, std::string_view input, double timeout);
};

inline constexpr GitHubCli shippedGitHubCli{gitHubAuthenticationState, prepareGitHubAuthenticationStorage,
                                            runGitHubCli};
