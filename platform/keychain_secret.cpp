// The keychain over the Secret Service (gnome-keyring, KWallet, KeePassXC), through libsecret.
// Items carry the attributes "service" and "account", so `secret-tool search service S account A`
// finds them, and items that secret-tool stored under those attributes are found here.
#include "platform/keychain_plugin.h"

#include <cstdlib>
#include <cstring>
#include <libsecret/secret.h>
#include <string>
#include <sys/stat.h>

namespace {

// The generic schema that secret-tool uses, and matching that ignores the schema name, so that items
// written by other clients under the same two attributes are the same items.
const SecretSchema* itemSchema() {
    static const SecretSchema schema = [] {
        SecretSchema made{};
        made.name = "org.freedesktop.Secret.Generic";
        made.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        made.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        made.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return made;
    }();
    return &schema;
}

// Without a session bus GDBus would try to autolaunch one through X11; a keychain that cannot be
// reached must fail at once instead.
bool sessionBusConfigured() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && address[0] != '\0')
        return std::strncmp(address, "autolaunch:", 11) != 0;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/')
        return false;
    struct stat status {};
    std::string socket = std::string(runtime) + "/bus";
    return stat(socket.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

KeychainStatus statusOf(GError* error) {
    if (error == nullptr)
        return KeychainStatus::success;
    g_error_free(error);
    return KeychainStatus::failure;
}

// The matching items, unlocked, without their secrets; nullptr with `error` set on failure.
GList* searchItems(const KeychainItem& item, GError** error) {
    return secret_password_search_sync(itemSchema(), SECRET_SEARCH_UNLOCK, nullptr, error, "service",
                                       item.service.c_str(), "account", item.account.c_str(), nullptr);
}

KeychainLookup findItem(const KeychainItem& item) {
    GError* error = nullptr;
    GList* found = searchItems(item, &error);
    if (error != nullptr)
        return {statusOf(error), {}};
    if (found == nullptr)
        return {KeychainStatus::notFound, {}};
    g_list_free_full(found, g_object_unref);
    return {KeychainStatus::success, {}};
}

KeychainLookup copyItem(const KeychainItem& item, KeychainReturn wanted) {
    if (!sessionBusConfigured())
        return {};
    if (wanted == KeychainReturn::nothing)
        return findItem(item);
    GError* error = nullptr;
    SecretValue* value =
        secret_password_lookup_binary_sync(itemSchema(), nullptr, &error, "service", item.service.c_str(),
                                           "account", item.account.c_str(), nullptr);
    if (error != nullptr)
        return {statusOf(error), {}};
    if (value == nullptr)
        return {KeychainStatus::notFound, {}};
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    KeychainLookup found{KeychainStatus::success, std::string(bytes, length)};
    secret_value_unref(value);
    return found;
}

SecretValue* secretValue(std::string_view data) {
    return secret_value_new(data.data(), static_cast<gssize>(data.size()), "text/plain");
}

KeychainStatus updateItem(const KeychainItem& item, std::string_view data) {
    if (!sessionBusConfigured())
        return KeychainStatus::failure;
    GError* error = nullptr;
    GList* found = searchItems(item, &error);
    if (error != nullptr)
        return statusOf(error);
    if (found == nullptr)
        return KeychainStatus::notFound;
    KeychainStatus status = KeychainStatus::failure;
    if (SECRET_IS_ITEM(found->data)) {
        SecretValue* value = secretValue(data);
        secret_item_set_secret_sync(SECRET_ITEM(found->data), value, nullptr, &error);
        secret_value_unref(value);
        status = statusOf(error);
    }
    g_list_free_full(found, g_object_unref);
    return status;
}

KeychainStatus addItem(const KeychainItem& item, std::string_view data) {
    if (!sessionBusConfigured())
        return KeychainStatus::failure;
    // The Secret Service replaces an item with the same attributes instead of refusing it, so two
    // writers racing to create one record leave one item, not two.
    GError* error = nullptr;
    SecretValue* value = secretValue(data);
    secret_password_store_binary_sync(itemSchema(), SECRET_COLLECTION_DEFAULT, item.service.c_str(), value,
                                      nullptr, &error, "service", item.service.c_str(), "account",
                                      item.account.c_str(), nullptr);
    secret_value_unref(value);
    return statusOf(error);
}

KeychainStatus deleteItem(const KeychainItem& item) {
    if (!sessionBusConfigured())
        return KeychainStatus::failure;
    GError* error = nullptr;
    gboolean deleted =
        secret_password_clear_sync(itemSchema(), nullptr, &error, "service", item.service.c_str(), "account",
                                   item.account.c_str(), nullptr);
    if (error != nullptr)
        return statusOf(error);
    return deleted ? KeychainStatus::success : KeychainStatus::notFound;
}

// The programs that load this never write to standard error, and GLib would report D-Bus trouble there.
GLogWriterOutput discardLog(GLogLevelFlags, const GLogField*, gsize, gpointer) {
    return G_LOG_WRITER_HANDLED;
}

} // namespace

extern "C" const KeychainFunctions* dovrelKeychainFunctions() {
    static const KeychainFunctions functions = [] {
        g_log_set_writer_func(discardLog, nullptr, nullptr);
        return KeychainFunctions{copyItem, updateItem, addItem, deleteItem};
    }();
    return &functions;
}
