// Whether a prompt can be shown, and unlocking through the provider's own prompt when it can.
#include "platform/keychain/secret_service.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace secretservice {

namespace {

// Whether a display server listens on the socket: a connection is the one test that a variable naming a
// display is not left over from a session that has ended.
bool connectsTo(const std::string& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t offset = abstract ? 1 : 0;
    if (path.empty() || path.size() + offset >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return false;
    auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    bool connected = ::connect(socket, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    close(socket);
    return connected;
}

// Whether a window the provider shows can be seen, by the display the environment names: Wayland's
// socket first, then X11's local socket (abstract or in /tmp). A display on another host is taken on trust.
bool displayReachable() {
    if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland != nullptr && wayland[0] != '\0') {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        std::string path = wayland[0] == '/' ? wayland : std::string(runtime ? runtime : "") + "/" + wayland;
        if (connectsTo(path, false))
            return true;
    }
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0')
        return false;
    std::string name = display;
    auto colon = name.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = name.substr(0, colon);
    if (!host.empty() && host != "unix")
        return true;
    std::string number = name.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return false;
    std::string socket = "/tmp/.X11-unix/X" + number;
    return connectsTo(socket, true) || connectsTo(socket, false);
}

// gnome-keyring shows its prompts through a separate prompter on the bus; without one its prompt would
// wait unseen. Other providers show their own windows.
bool prompterAvailable(Call& call) {
    if (provider(call) != Provider::gnomeKeyring)
        return true;
    const char* prompter = "org.gnome.keyring.SystemPrompter";
    return nameListed(call, "ListNames", prompter) || nameListed(call, "ListActivatableNames", prompter);
}

constexpr const char* promptInterface = "org.freedesktop.Secret.Prompt";

// What a prompt's wait hears: its completion, the provider leaving the bus (nobody will complete it
// then), and new collections, one of which may be what the prompt was for.
struct PromptWatch {
    bool completed = false;
    GVariant* result = nullptr; // the completion's result, unless the prompt was dismissed
    bool providerLeft = false;
    bool collectionCreated = false;
};

void noteCompletion(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                    GVariant* parameters, gpointer data) {
    auto* watch = static_cast<PromptWatch*>(data);
    if (watch->completed)
        return;
    watch->completed = true;
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(bv)")))
        return;
    gboolean dismissed = TRUE;
    GVariant* result = nullptr;
    g_variant_get(parameters, "(bv)", &dismissed, &result);
    if (dismissed)
        g_variant_unref(result);
    else
        watch->result = result;
}

void noteProviderLeaving(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                         GVariant* parameters, gpointer data) {
    const char* owner = nullptr;
    g_variant_get(parameters, "(&s&s&s)", nullptr, nullptr, &owner);
    if (owner[0] == '\0')
        static_cast<PromptWatch*>(data)->providerLeft = true;
}

void noteCollectionCreated(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                           GVariant*, gpointer data) {
    static_cast<PromptWatch*>(data)->collectionCreated = true;
}

void dismiss(Call& call, const char* prompt) {
    GError* error = nullptr;
    GVariant* reply = callService(call, prompt, promptInterface, "Dismiss", nullptr, nullptr, &error);
    if (consumeError(error) == KeychainStatus::success)
        g_variant_unref(reply);
}

// Sends the prompt's Prompt and waits for what ends it; subscriptions come first, so that nothing in
// between goes unheard.
void awaitPrompt(Call& call, const char* prompt, PromptWatch& watch, const std::function<bool()>& overtaken) {
    guint completion =
        g_dbus_connection_signal_subscribe(call.bus, nullptr, promptInterface, "Completed", prompt, nullptr,
                                           G_DBUS_SIGNAL_FLAGS_NONE, noteCompletion, &watch, nullptr);
    guint leaving = g_dbus_connection_signal_subscribe(
        call.bus, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
        serviceName, G_DBUS_SIGNAL_FLAGS_NONE, noteProviderLeaving, &watch, nullptr);
    guint created = g_dbus_connection_signal_subscribe(
        call.bus, nullptr, serviceInterface, "CollectionCreated", servicePath, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, noteCollectionCreated, &watch, nullptr);
    GError* error = nullptr;
    GVariant* reply =
        callService(call, prompt, promptInterface, "Prompt", g_variant_new("(s)", ""), nullptr, &error);
    bool waiting = consumeError(error) == KeychainStatus::success;
    if (reply != nullptr)
        g_variant_unref(reply);
    watch.collectionCreated = true;
    while (waiting && !watch.completed && !watch.providerLeft) {
        if (std::exchange(watch.collectionCreated, false) && overtaken && overtaken()) {
            dismiss(call, prompt);
            break;
        }
        g_main_context_iteration(call.context, TRUE);
    }
    g_dbus_connection_signal_unsubscribe(call.bus, completion);
    g_dbus_connection_signal_unsubscribe(call.bus, leaving);
    g_dbus_connection_signal_unsubscribe(call.bus, created);
}

} // namespace

bool promptPossible(Call& call) {
    if (!call.promptPossible)
        call.promptPossible = displayReachable() && prompterAvailable(call);
    return *call.promptPossible;
}

GVariant* completePrompt(Call& call, const char* prompt, const GVariantType* type, PromptShows shows,
                         const std::function<bool()>& overtaken) {
    if (shows == PromptShows::window && !promptPossible(call)) {
        dismiss(call, prompt);
        return nullptr;
    }
    // The person has all the time they want: no limit ends this wait, only their answer, the provider's
    // going, or another program doing what the prompt was for.
    PromptWatch watch;
    awaitPrompt(call, prompt, watch, overtaken);
    if (watch.result != nullptr && type != nullptr && !g_variant_is_of_type(watch.result, type)) {
        g_variant_unref(watch.result);
        return nullptr;
    }
    return watch.result;
}

Paths takePaths(gchar** paths) {
    Paths found;
    for (gchar** path = paths; path != nullptr && *path != nullptr; ++path)
        found.emplace_back(*path);
    g_strfreev(paths);
    return found;
}

namespace {

// Whether `path` is a KWallet collection whose wallet kwalletd already has open: kwalletd's own `isOpen`
// answers without a window, and an Unlock prompt for an open wallet completes without one.
bool walletOpen(Call& call, const std::string& path) {
    constexpr std::string_view collections = "/org/freedesktop/secrets/collection/";
    if (!path.starts_with(collections))
        return false;
    auto wallet = path.substr(collections.size());
    wallet = wallet.substr(0, wallet.find('/'));
    GVariant* reply = callObject(call, "org.kde.kwalletd5", "/modules/kwalletd5", "org.kde.KWallet", "isOpen",
                                 g_variant_new("(s)", wallet.c_str()), G_VARIANT_TYPE("(b)"), nullptr);
    if (reply == nullptr)
        return false;
    gboolean open = FALSE;
    g_variant_get(reply, "(b)", &open);
    g_variant_unref(reply);
    return open;
}

} // namespace

Paths openWithoutWindow(Call& call, const Paths& paths) {
    Paths open;
    if (provider(call) != Provider::kwallet)
        return open;
    for (const auto& path : paths) {
        if (walletOpen(call, path))
            open.push_back(path);
    }
    return open;
}

bool unlock(Call& call, const Paths& paths) {
    GVariantBuilder objects;
    g_variant_builder_init(&objects, G_VARIANT_TYPE("ao"));
    for (const auto& path : paths)
        g_variant_builder_add(&objects, "o", path.c_str());
    GError* error = nullptr;
    GVariant* reply = callService(call, servicePath, serviceInterface, "Unlock",
                                  g_variant_new("(ao)", &objects), G_VARIANT_TYPE("(aoo)"), &error);
    if (consumeError(error) != KeychainStatus::success)
        return false;
    const char* prompt = nullptr;
    g_variant_get(reply, "(@ao&o)", nullptr, &prompt);
    bool done = true;
    if (std::strcmp(prompt, noObject) != 0) {
        bool quiet = openWithoutWindow(call, paths).size() == paths.size();
        auto shows = quiet ? PromptShows::nothing : PromptShows::window;
        GVariant* result = completePrompt(call, prompt, nullptr, shows);
        done = result != nullptr;
        if (done)
            g_variant_unref(result);
    }
    g_variant_unref(reply);
    return done;
}

namespace {

SentEach askLocks(Call& call, const Paths& collections) {
    return sendToEach(
        call, collections, propertiesInterface, "Get",
        [] { return g_variant_new("(ss)", collectionInterface, "Locked"); }, G_VARIANT_TYPE("(v)"));
}

LockRead takeLock(Sent& sent) {
    GError* error = nullptr;
    GVariant* reply = awaitAnswer(sent, &error);
    if (auto status = consumeError(error); status != KeychainStatus::success)
        return {status};
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    LockRead lock;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
        lock = {KeychainStatus::success, g_variant_get_boolean(value) != FALSE};
    g_variant_unref(value);
    g_variant_unref(reply);
    return lock;
}

std::optional<Paths> collectionPaths(Call& call) {
    GError* error = nullptr;
    GVariant* reply =
        callService(call, servicePath, propertiesInterface, "Get",
                    g_variant_new("(ss)", serviceInterface, "Collections"), G_VARIANT_TYPE("(v)"), &error);
    if (consumeError(error) != KeychainStatus::success)
        return std::nullopt;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    g_variant_unref(reply);
    std::optional<Paths> paths;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE("ao")))
        paths = takePaths(g_variant_dup_objv(value, nullptr));
    g_variant_unref(value);
    return paths;
}

} // namespace

LockRead readLock(Call& call, const std::string& collection) {
    return takeLock(*askLocks(call, {collection}).front());
}

std::optional<Collections> collections(Call& call) {
    auto paths = collectionPaths(call);
    if (!paths)
        return std::nullopt;
    auto asked = askLocks(call, *paths);
    Collections found;
    for (std::size_t index = 0; index < paths->size(); ++index) {
        auto lock = takeLock(*asked[index]);
        if (lock.status == KeychainStatus::failure)
            return std::nullopt;
        if (lock.status == KeychainStatus::success)
            (lock.locked ? found.locked : found.open).push_back((*paths)[index]);
    }
    return found;
}

} // namespace secretservice
