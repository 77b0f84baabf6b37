#include "platform/plugin.h"

#include "platform/executable.h"

#include <dlfcn.h>
#include <string>

namespace {

std::string bundledPluginPath(std::string_view fileName) {
    auto executable = executableRealPath();
    if (!executable)
        return {};
    auto binFolder = executable->substr(0, executable->rfind('/'));
    auto resources = binFolder.substr(0, binFolder.rfind('/'));
    return resources + "/lib/" + std::string(fileName);
}

} // namespace

void* bundledPluginSymbol(std::string_view fileName, const char* symbol) {
    // dlopen hands back the same handle to a library already loaded, so nothing is cached here; a
    // plugin is never closed because the libraries it pulls in are not made to unload cleanly.
    auto path = bundledPluginPath(fileName);
    if (path.empty())
        return nullptr;
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    return handle == nullptr ? nullptr : dlsym(handle, symbol);
}
