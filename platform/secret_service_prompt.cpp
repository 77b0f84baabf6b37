// Whether a prompt can be shown, and unlocking through the provider's own prompt when it can.
#include "platform/secret_service.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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
    std::string provider = nameOwner(call, serviceName);
    if (provider.empty() || provider != nameOwner(call, "org.gnome.keyring"))
        return true;
    const char* prompter = "org.gnome.keyring.SystemPrompter";
    return nameListed(call, "ListNames", prompter) || nameListed(call, "ListActivatableNames", prompter);
}

bool promptPossible(Call& call) {
    if (!call.promptPossible)
        call.promptPossible = displayReachable() && prompterAvailable(call);
    return *call.promptPossible;
}

} // namespace

GVariant* completePrompt(Call& call, const char* prompt, const GVariantType* type, PromptShows shows) {
    if (shows == PromptShows::window && !promptPossible(call)) {
        GError* error = nullptr;
        GVariant* reply =
            callService(call, prompt, "org.freedesktop.Secret.Prompt", "Dismiss", nullptr, nullptr, &error);
        if (!failed(error))
            g_variant_unref(reply);
        return nullptr;
    }
    SecretService* service = secretService(call);
    if (service == nullptr)
        return nullptr;
    // The prompt may be answered or dismissed, but never be cancelled from here: the user has all the
    // time they want.
    GError* error = nullptr;
    GVariant* result = secret_service_prompt_at_dbus_path_sync(service, prompt, nullptr, type, &error);
    if (failed(error) && result != nullptr) {
        g_variant_unref(result);
        return nullptr;
    }
    return result;
}

Paths pathsOf(gchar** paths) {
    Paths found;
    for (gchar** path = paths; path != nullptr && *path != nullptr; ++path)
        found.emplace_back(*path);
    g_strfreev(paths);
    return found;
}

namespace {

// Whether every path is a KWallet collection whose wallet kwalletd already has open: kwalletd's own
// `isOpen` answers without a window, and an Unlock prompt for an open wallet completes without one.
bool walletsOpen(Call& call, const Paths& paths) {
    constexpr const char* kwallet = "org.kde.kwalletd5";
    std::string provider = nameOwner(call, serviceName);
    if (provider.empty() || provider != nameOwner(call, kwallet))
        return false;
    constexpr std::string_view collections = "/org/freedesktop/secrets/collection/";
    for (const auto& path : paths) {
        if (!path.starts_with(collections))
            return false;
        auto wallet = path.substr(collections.size());
        wallet = wallet.substr(0, wallet.find('/'));
        GVariant* reply = callObject(call, kwallet, "/modules/kwalletd5", "org.kde.KWallet", "isOpen",
                                     g_variant_new("(s)", wallet.c_str()), G_VARIANT_TYPE("(b)"), nullptr);
        if (reply == nullptr)
            return false;
        gboolean open = FALSE;
        g_variant_get(reply, "(b)", &open);
        g_variant_unref(reply);
        if (!open)
            return false;
    }
    return true;
}

} // namespace

bool unlock(Call& call, const Paths& paths) {
    GVariantBuilder objects;
    g_variant_builder_init(&objects, G_VARIANT_TYPE("ao"));
    for (const auto& path : paths)
        g_variant_builder_add(&objects, "o", path.c_str());
    GError* error = nullptr;
    GVariant* reply = callService(call, servicePath, serviceInterface, "Unlock",
                                  g_variant_new("(ao)", &objects), G_VARIANT_TYPE("(aoo)"), &error);
    if (failed(error))
        return false;
    const char* prompt = nullptr;
    g_variant_get(reply, "(@ao&o)", nullptr, &prompt);
    bool done = true;
    if (std::strcmp(prompt, noObject) != 0) {
        auto shows = walletsOpen(call, paths) ? PromptShows::nothing : PromptShows::window;
        GVariant* result = completePrompt(call, prompt, nullptr, shows);
        done = result != nullptr;
        if (done)
            g_variant_unref(result);
    }
    g_variant_unref(reply);
    return done;
}

std::optional<bool> isLocked(Call& call, const std::string& collection) {
    GError* error = nullptr;
    GVariant* reply =
        callService(call, collection, propertiesInterface, "Get",
                    g_variant_new("(ss)", collectionInterface, "Locked"), G_VARIANT_TYPE("(v)"), &error);
    if (error != nullptr) {
        bool gone = vanished(error);
        g_error_free(error);
        return gone ? std::optional(false) : std::nullopt;
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    std::optional<bool> locked;
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
        locked = g_variant_get_boolean(value);
    g_variant_unref(value);
    g_variant_unref(reply);
    return locked;
}

namespace {

// The collections that are locked. A provider may hide the items of a locked collection from searches
// (KeePassXC does), so "nothing found" is "does not exist" only when none is.
std::optional<Paths> lockedCollections(Call& call) {
    GError* error = nullptr;
    GVariant* reply =
        callService(call, servicePath, propertiesInterface, "Get",
                    g_variant_new("(ss)", serviceInterface, "Collections"), G_VARIANT_TYPE("(v)"), &error);
    if (failed(error))
        return std::nullopt;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    g_variant_unref(reply);
    if (!g_variant_is_of_type(value, G_VARIANT_TYPE("ao"))) {
        g_variant_unref(value);
        return std::nullopt;
    }
    std::optional<Paths> locked = Paths{};
    GVariantIter collections;
    g_variant_iter_init(&collections, value);
    const char* collection = nullptr;
    while (locked && g_variant_iter_next(&collections, "&o", &collection)) {
        auto state = isLocked(call, collection);
        if (!state)
            locked.reset();
        else if (*state)
            locked->emplace_back(collection);
    }
    g_variant_unref(value);
    return locked;
}

} // namespace

bool collectionsUnlocked(Call& call) {
    auto locked = lockedCollections(call);
    if (!locked)
        return false;
    if (locked->empty())
        return true;
    if (!unlock(call, *locked))
        return false;
    locked = lockedCollections(call);
    return locked && locked->empty();
}

} // namespace secretservice
