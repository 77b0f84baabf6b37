#include "platform/plugin.h"

#include "platform/bundle.h"

#include <dlfcn.h>
#include <string>

void* bundledPluginSymbol(std::string_view fileName, const char* symbol) {
    // dlopen hands back the same handle to a library already loaded, so nothing is cached here; a
    // plugin is never closed because the libraries it pulls in are not made to unload cleanly. Lazy
    // binding: most runs call a few of a plugin's functions, and every plugin is built with the bundle.
    auto path = bundledPluginPath(fileName);
    if (path.empty())
        return nullptr;
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    return handle == nullptr ? nullptr : dlsym(handle, symbol);
}
