#include "platform/bundle/bundle.h"
#include <dlfcn.h>
#include <string>

void* bundledPluginSymbol(std::string_view fileName, const char* symbol) {
    // dlopen hands back the same handle to a library already loaded, so nothing is cached here; a
    // plugin is never closed because the libraries it pulls in are not made to unload cleanly. Every
    // symbol is bound at load, as the executables are: a lazy binding resolves on first call, on the
    // stack of whatever called, which in the keychain plugin holds record values.
    auto path = bundledPluginPath(fileName);
    if (path.empty())
        return nullptr;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle == nullptr ? nullptr : dlsym(handle, symbol);
}
