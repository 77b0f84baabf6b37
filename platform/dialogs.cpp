#include "platform/dialogs.h"

#include "platform/dialogs_plugin.h"
#include "platform/executable.h"
#include "platform/plugin.h"

#include <dlfcn.h>

namespace {

// The bundle's main executable sits in Contents/MacOS, one level nearer the bundle root than the programs
// in Contents/Resources/bin, so it names the plugin's folder from Contents itself.
void* pluginEntry() {
    auto executable = executableRealPath();
    if (!executable)
        return nullptr;
    auto folder = executable->substr(0, executable->rfind('/'));
    constexpr std::string_view macos = "/Contents/MacOS";
    if (!folder.ends_with(macos))
        return bundledPluginSymbol(dialogsPluginFile, dialogsPluginEntry);
    auto path =
        folder.substr(0, folder.size() - macos.size()) + "/Contents/Resources/lib/" + dialogsPluginFile;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle == nullptr ? nullptr : dlsym(handle, dialogsPluginEntry);
}

const DialogFunctions* dialogFunctions() {
    using Entry = const DialogFunctions* (*)();
    auto entry = reinterpret_cast<Entry>(pluginEntry());
    return entry == nullptr ? nullptr : entry();
}

} // namespace

FolderChoice chooseFolderModally(const std::string& title) {
    auto functions = dialogFunctions();
    return functions == nullptr ? FolderChoice{} : functions->chooseFolder(title);
}

AlertAnswer runAlert(const Alert& alert) {
    auto functions = dialogFunctions();
    return functions == nullptr ? AlertAnswer{} : functions->runAlert(alert);
}
