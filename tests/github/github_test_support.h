// Scratch files and bundles for the GitHub CLI integration tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

void writeFile(const std::string& path, const std::string& bytes, unsigned mode = 0644);
std::string readFile(const std::string& path);
void makeFolders(const std::string& path);
void copyFile(const std::string& from, const std::string& to, unsigned mode);
unsigned modeOf(const std::string& path);

// A #! script with the given body, in a fresh scratch folder.
std::string writeScript(const std::string& body);

// A copy of the bundle's programs (the named ones from Contents/Resources/bin, or from the test
// fixtures), its keychain plugin and its GitHub CLI under a fresh folder, removed with the value.
struct ScratchBundle {
    std::string folder;
    std::string root;      // .../Dovrel.app
    std::string resources; // .../Dovrel.app/Contents/Resources
    std::string program(const std::string& name) const { return resources + "/bin/" + name; }
    std::string cli() const { return resources + "/runtime/gh"; }

    ScratchBundle() = default;
    ScratchBundle(ScratchBundle&& other) noexcept
        : folder(std::exchange(other.folder, {})), root(other.root), resources(other.resources) {}
    ScratchBundle(const ScratchBundle&) = delete;
    ScratchBundle& operator=(const ScratchBundle&) = delete;
    ~ScratchBundle();
};
ScratchBundle copyBundle(const std::vector<std::string>& bundlePrograms,
                         const std::vector<std::string>& fixtures);

// The configuration directory of the GitHub CLI below a home directory.
std::string configDirectoryBelow(const std::string& home);

// The environment of the test with HOME replaced.
std::vector<std::string> environmentWithHome(const std::string& home);

// Signs the stand-in in, by handing it the browser's answer and running its login in `home`.
int signInStandIn(const std::string& home, const std::string& user, const std::string& token);
