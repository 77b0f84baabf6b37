// Finds the GitHub CLI shipped in the bundle and proves it is the file that was packaged.
#include "github/github.h"

#include "platform/bundle/bundle.h"
#include "platform/crypto/crypto.h"
#include "platform/files.h"

namespace {

constexpr std::uint64_t largestCli = 100'000'000;

bool permissionsAllowRunning(unsigned permissions) {
    // Someone may execute it, and nobody but its owner may change it.
    return (permissions & 0111) != 0 && (permissions & 0022) == 0;
}

} // namespace

std::optional<VerifiedGitHubCli> verifiedGitHubCli(const std::string& resourcesFolder,
                                                   std::string_view expectedSha256) {
    if (expectedSha256.size() != 64)
        return std::nullopt;
    // Everything below is checked on one open file, and that file is what a run starts, so a path
    // swapped after the check changes nothing.
    std::string candidate = standardizedPath(resourcesFolder + "/runtime/gh");
    auto file = openWithoutLinks(candidate);
    if (!file)
        return std::nullopt;
    auto attributes = openFileAttributes(file->get());
    if (!attributes || attributes->type != FileType::regular)
        return std::nullopt;
    if (attributes->size < 1 || attributes->size > largestCli)
        return std::nullopt;
    if (!permissionsAllowRunning(attributes->permissions))
        return std::nullopt;
    auto digest = sha256HexOfFile(file->get(), attributes->size);
    if (!digest || *digest != expectedSha256)
        return std::nullopt;
    return VerifiedGitHubCli{candidate, std::move(*file)};
}

std::optional<VerifiedGitHubCli> bundledGitHubCli() {
    auto resources = resourcesFolder();
    if (!resources)
        return std::nullopt;
    return verifiedGitHubCli(*resources, expectedGitHubCliSha256);
}
