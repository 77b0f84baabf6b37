// Preloaded into the helper: before it first asks the Secret Service for an item's secret, which is
// after its search found the item, the shell command in DOVREL_BETWEEN_SEARCH_AND_READ runs to its end.
// That is another client acting on the record in the gap between the two requests, which a real race
// hits only now and then.
#include <atomic>
#include <cstdlib>
#include <dlfcn.h>
#include <string>

#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

extern "C" void secret_service_get_secret_for_dbus_path(SecretService* self, const gchar* path,
                                                        GCancellable* cancellable,
                                                        GAsyncReadyCallback callback, gpointer data) {
    static std::atomic<bool> acted{false};
    const char* given = std::getenv("DOVREL_BETWEEN_SEARCH_AND_READ");
    if (given != nullptr && !acted.exchange(true)) {
        std::string command = given;
        // The command's own programs inherit the preload; without the variable they pass it by.
        unsetenv("DOVREL_BETWEEN_SEARCH_AND_READ");
        (void)std::system(command.c_str());
    }
    using Real = void (*)(SecretService*, const gchar*, GCancellable*, GAsyncReadyCallback, gpointer);
    // libsecret came in with the keychain plugin, outside the global scope that RTLD_NEXT searches.
    static auto real = reinterpret_cast<Real>(
        dlsym(dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_NOLOAD), "secret_service_get_secret_for_dbus_path"));
    real(self, path, cancellable, callback, data);
}
