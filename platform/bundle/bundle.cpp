#include "platform/bundle/bundle.h"

#include "platform/bundle/executable.h"
#include "platform/paths.h"

namespace {

constexpr std::string_view mainExecutableFolder = "/Contents/MacOS";
constexpr std::string_view resources = "/Contents/Resources";

std::string folderOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

} // namespace

std::string mainBundleRoot() {
    auto folder = folderOf(executableRealPath().value_or("/"));
    if (folder.ends_with(mainExecutableFolder))
        return folder.substr(0, folder.size() - mainExecutableFolder.size());
    return folder;
}

std::optional<std::string> resourcesFolder() {
    auto executable = executableRealPath();
    if (!executable)
        return std::nullopt;
    auto folder = folderOf(*executable);
    if (folder.ends_with(mainExecutableFolder))
        return folder.substr(0, folder.size() - mainExecutableFolder.size()) + std::string(resources);
    return parentFolder(folder);
}

std::string bundledPluginPath(std::string_view fileName) {
    auto folder = resourcesFolder();
    return folder ? *folder + "/lib/" + std::string(fileName) : std::string();
}

std::string runtimePath(const std::string& root) {
    return root + std::string(resources) + "/runtime/node";
}

std::string entryScriptPath(const std::string& root) {
    return root + std::string(resources) + "/app/packages/macos-installer/src/cli.mjs";
}
