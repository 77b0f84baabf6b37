// Preloaded into the helper: before it first asks the Secret Service for an item's secret, which is
// after its search found the item, the shell command in DOVREL_BETWEEN_SEARCH_AND_READ runs to its end.
// That is another client acting on the record in the gap between the two requests, which a real race
// hits only now and then.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <gio/gio.h>
#include <string>

extern "C" void g_dbus_connection_call(GDBusConnection* connection, const gchar* name, const gchar* path,
                                       const gchar* interface, const gchar* method, GVariant* parameters,
                                       const GVariantType* reply, GDBusCallFlags flags, gint timeout,
                                       GCancellable* cancellable, GAsyncReadyCallback callback,
                                       gpointer data) {
    static std::atomic<bool> acted{false};
    const char* given = std::getenv("DOVREL_BETWEEN_SEARCH_AND_READ");
    if (given != nullptr && std::strcmp(method, "GetSecret") == 0 && !acted.exchange(true)) {
        std::string command = given;
        // The command's own programs inherit the preload; without the variable they pass it by.
        unsetenv("DOVREL_BETWEEN_SEARCH_AND_READ");
        (void)std::system(command.c_str());
    }
    using Real =
        void (*)(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                 const GVariantType*, GDBusCallFlags, gint, GCancellable*, GAsyncReadyCallback, gpointer);
    // GIO came in with the keychain plugin, outside the global scope that RTLD_NEXT searches.
    static auto real = reinterpret_cast<Real>(
        dlsym(dlopen("libgio-2.0.so.0", RTLD_NOW | RTLD_NOLOAD), "g_dbus_connection_call"));
    real(connection, name, path, interface, method, parameters, reply, flags, timeout, cancellable, callback,
         data);
}
