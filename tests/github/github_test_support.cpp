#include "tests/github/github_test_support.h"

#include "tests/support/run_program.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

void writeFile(const std::string& path, const std::string& bytes, unsigned mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    if (chmod(path.c_str(), mode) != 0)
        throw std::runtime_error("chmod " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void makeFolders(const std::string& path) {
    std::string prefix;
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        prefix = path.substr(0, slash);
        mkdir(prefix.c_str(), 0755);
        if (slash == std::string::npos)
            break;
    }
}

void copyFile(const std::string& from, const std::string& to, unsigned mode) {
    writeFile(to, readFile(from), mode);
}

unsigned modeOf(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return 0;
    return status.st_mode & 07777;
}

std::string writeScript(const std::string& body) {
    std::string path = makeScratchFolder("dovrel-script") + "/child";
    writeFile(path, "#!/bin/sh\n" + body + "\n", 0755);
    return path;
}

ScratchBundle::~ScratchBundle() {
    if (folder.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

ScratchBundle copyBundle(const std::vector<std::string>& bundlePrograms,
                         const std::vector<std::string>& fixtures) {
    ScratchBundle bundle;
    bundle.folder = makeScratchFolder("dovrel-bundle");
    bundle.root = bundle.folder + "/Dovrel.app";
    bundle.resources = bundle.root + "/Contents/Resources";
    for (auto folder : {"/bin", "/lib", "/runtime"})
        makeFolders(bundle.resources + folder);
    for (const auto& name : bundlePrograms)
        copyFile(bundleProgram(name), bundle.program(name), 0755);
    for (const auto& name : fixtures)
        copyFile(fixturesPath() + "/" + name, bundle.program(name), 0755);
    copyFile(bundlePath() + "/Contents/Resources/lib/dovrel-keychain.so",
             bundle.resources + "/lib/dovrel-keychain.so", 0755);
    copyFile(bundlePath() + "/Contents/Resources/runtime/gh", bundle.cli(), 0755);
    return bundle;
}

std::string configDirectoryBelow(const std::string& home) {
    return home + "/Library/Application Support/Dovrel/state/github-cli";
}

std::vector<std::string> environmentWithHome(const std::string& home) {
    return environmentWith({"HOME=" + home});
}

int signInStandIn(const std::string& home, const std::string& user, const std::string& token) {
    auto config = configDirectoryBelow(home);
    makeFolders(config);
    chmod(config.c_str(), 0700);
    writeFile(config + "/standin-browser", "user=" + user + "\ntoken=" + token + "\n", 0600);
    auto run = runProgram({.program = bundlePath() + "/Contents/Resources/runtime/gh",
                           .arguments = {"auth", "login", "--hostname", "github.com", "--git-protocol",
                                         "https", "--web", "--clipboard", "--skip-ssh-key"},
                           .environment = environmentWith({"HOME=" + home, "GH_CONFIG_DIR=" + config})});
    return run.exitStatus;
}
