// The keychain over the Secret Service (gnome-keyring, KWallet, KeePassXC), through libsecret's calls on
// D-Bus object paths: they tell unlocked items from locked ones and a vanished item from a failure, which
// the simple password calls hide. Items carry the attributes "service" and "account", so
// `secret-tool search service S account A` finds them, and items that secret-tool stored under those
// attributes are found here.
#define SECRET_API_SUBJECT_TO_CHANGE
#include "platform/keychain_plugin.h"
#include "platform/process_record.h"
#include "platform/session_bus.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libsecret/secret.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Paths = std::vector<std::string>;

// How long the service has to answer one request before the operation fails, unless it shows that it is
// working through a queue: then it has up to `busyServiceBound` in all, minutes, as a loaded machine may
// take that long and still answer.
constexpr auto serviceBound = std::chrono::seconds(5);
constexpr auto busyServiceBound = std::chrono::minutes(2);
// The last part of `serviceBound` in which the service's own process is watched for progress.
constexpr auto progressWindow = std::chrono::seconds(1);
constexpr const char* noObject = "/";
constexpr const char* serviceName = "org.freedesktop.secrets";
constexpr const char* servicePath = "/org/freedesktop/secrets";
constexpr const char* itemInterface = "org.freedesktop.Secret.Item";
constexpr const char* collectionInterface = "org.freedesktop.Secret.Collection";
constexpr const char* serviceInterface = "org.freedesktop.Secret.Service";
constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";
// The stored form is text, but providers such as KeePassXC expand placeholders ("{TITLE}") in text
// secrets; nobody rewrites bytes. Items stored earlier as text/plain read the same.
constexpr const char* storedContentType = "application/octet-stream";

// The process that owns the service's name, as the bus itself tells (the bus answers even when the
// service does not; a bus that does not answer within `serviceBound` counts as dead as well).
std::optional<unsigned> serviceProcess(GDBusConnection* bus) {
    constexpr int timeout = std::chrono::duration_cast<std::chrono::milliseconds>(serviceBound).count();
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                                  g_variant_new("(s)", serviceName), G_VARIANT_TYPE("(u)"),
                                                  G_DBUS_CALL_FLAGS_NONE, timeout, nullptr, nullptr);
    if (reply == nullptr)
        return std::nullopt;
    unsigned pid = 0;
    g_variant_get(reply, "(u)", &pid);
    g_variant_unref(reply);
    return pid;
}

// What the service's process is doing: its scheduler state and the processor time it has used.
std::optional<ProcessRecord> serviceActivity(GDBusConnection* bus) {
    auto pid = bus == nullptr ? std::nullopt : serviceProcess(bus);
    if (!pid)
        return std::nullopt;
    ProcessHandle process(*pid);
    ProcessRecord record;
    if (!readProcessStat(process, record))
        return std::nullopt;
    return record;
}

// Whether more threads want a processor right now than there are processors. A service's answer may
// then sit unread because its caller, not the service, waits for a turn.
bool machineBusy() {
    FILE* file = std::fopen("/proc/loadavg", "re");
    if (file == nullptr)
        return false;
    long runnable = 0;
    bool read = std::fscanf(file, "%*s %*s %*s %ld/", &runnable) == 1;
    std::fclose(file);
    return read && runnable > sysconf(_SC_NPROCESSORS_ONLN);
}

// A service that is stopped or gone does not answer; one that is running, waiting on the disk or has
// used processor time since it was last looked at is working through requests, ours among them, and on
// a machine short of processors an idle service may have answered a caller that has not yet run.
bool serviceProgressing(const std::optional<ProcessRecord>& before, const std::optional<ProcessRecord>& now) {
    if (!now || now->stopped || now->ended)
        return false;
    return now->state == 'R' || now->state == 'D' ||
           (before && now->processorTicks > before->processorTicks) || machineBusy();
}

// One keychain operation: its bus connection, the main context on which its requests are answered, the
// cancellable that ends a request the service does not answer (and with it the operation),
// libsecret's service object (made only for what needs it: the encrypted session and prompts), and
// whether a prompt could be shown (decided once, when first needed).
struct Call {
    GMainContext* context = g_main_context_new();
    GCancellable* cancellable = g_cancellable_new();
    GDBusConnection* bus = nullptr;
    SecretService* service = nullptr;
    bool serviceRequested = false;
    GAsyncResult* serviceMade = nullptr; // the answer to the request for `service`, once it has come
    std::optional<bool> promptPossible;

    Call() { g_main_context_push_thread_default(context); }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call() {
        // A request still on its way would hand its answer to this object after it is gone.
        if (serviceRequested && serviceMade == nullptr) {
            g_cancellable_cancel(cancellable);
            while (serviceMade == nullptr)
                g_main_context_iteration(context, TRUE);
        }
        if (serviceMade != nullptr)
            g_object_unref(serviceMade);
        if (service != nullptr)
            g_object_unref(service);
        if (bus != nullptr)
            g_object_unref(bus);
        g_object_unref(cancellable);
        // What the objects leave to be done on the context (the bus hands back their signal
        // subscriptions there) is done now; a context freed with it pending would lose its memory.
        while (g_main_context_iteration(context, FALSE)) {
        }
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }
};

// Runs the operation's context until the request in flight has its result or `deadline` has passed.
void iterateUntil(GMainContext* context, GAsyncResult* const& result, Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return;
    GSource* timer = g_timeout_source_new(static_cast<guint>(left));
    g_source_set_callback(
        timer, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(timer, context);
    while (result == nullptr && !g_source_is_destroyed(timer))
        g_main_context_iteration(context, TRUE);
    g_source_destroy(timer);
    g_source_unref(timer);
}

// Waits for the request in flight to end. The service has `serviceBound` to answer; in the last
// `progressWindow` of it its process is looked at, and while it is seen working on a queue the wait goes
// on a window at a time, up to `busyServiceBound`: a loaded machine answering slowly is not a dead
// service. Otherwise the request is cancelled, so that a wedged daemon or a bus that stops answering
// ends the operation instead of the caller's wait.
void awaitResult(Call& call, GAsyncResult* const& result) {
    auto started = Clock::now();
    auto deadline = started + serviceBound - progressWindow;
    std::optional<ProcessRecord> seen;
    bool watching = false;
    while (result == nullptr) {
        iterateUntil(call.context, result, deadline);
        if (result != nullptr)
            return;
        // Not yet connected, the wait is for the bus, whose process is not known: only a machine short
        // of processors explains a slow start.
        auto now = call.bus == nullptr ? std::nullopt : serviceActivity(call.bus);
        bool progressing = call.bus == nullptr ? machineBusy() : serviceProgressing(seen, now);
        if (!watching || (progressing && Clock::now() < started + busyServiceBound)) {
            watching = true;
            seen = now;
            deadline = Clock::now() + progressWindow;
            continue;
        }
        // Cancelled, the request ends at once with an error, as does every later one of the operation.
        g_cancellable_cancel(call.cancellable);
        while (result == nullptr)
            g_main_context_iteration(call.context, TRUE);
    }
}

void keepResult(GObject*, GAsyncResult* result, gpointer slot) {
    *static_cast<GAsyncResult**>(slot) = G_ASYNC_RESULT(g_object_ref(result));
}

using Finished = std::unique_ptr<GAsyncResult, void (*)(gpointer)>;

// Starts one asynchronous request with the operation's cancellable and waits for it within the bound.
template <typename Start> Finished bounded(Call& call, Start start) {
    GAsyncResult* result = nullptr;
    start(call.cancellable, keepResult, &result);
    awaitResult(call, result);
    return Finished(result, g_object_unref);
}

bool failed(GError* error) {
    if (error == nullptr)
        return false;
    g_error_free(error);
    return true;
}

// The item is gone: deleted by another client between a search and its use. That is the answer "not
// found", not a failure of the service.
bool vanished(const GError* error) {
    return g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT) ||
           g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_INTERFACE) ||
           g_error_matches(error, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT);
}

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

// Whether this session has a display that a prompt could appear on. A local X display is reached through
// its socket; one on another host (forwarded over ssh) is taken as reachable, as trying it could wait on
// the network.
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

// One method call on an object of the bus or the Secret Service, within the bound.
GVariant* callObject(Call& call, const char* name, const char* path, const char* interface,
                     const char* method, GVariant* parameters, const GVariantType* reply, GError** error) {
    auto finished = bounded(call, [&](GCancellable* cancellable, GAsyncReadyCallback done, gpointer slot) {
        g_dbus_connection_call(call.bus, name, path, interface, method, parameters, reply,
                               G_DBUS_CALL_FLAGS_NONE, -1, cancellable, done, slot);
    });
    return g_dbus_connection_call_finish(call.bus, finished.get(), error);
}

GVariant* callBus(Call& call, const char* method, GVariant* parameters, const GVariantType* reply) {
    return callObject(call, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
                      parameters, reply, nullptr);
}

std::string nameOwner(Call& call, const char* name) {
    GVariant* reply = callBus(call, "GetNameOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(s)"));
    if (reply == nullptr)
        return {};
    const char* owner = nullptr;
    g_variant_get(reply, "(&s)", &owner);
    std::string found = owner;
    g_variant_unref(reply);
    return found;
}

bool nameListed(Call& call, const char* method, const char* name) {
    GVariant* reply = callBus(call, method, nullptr, G_VARIANT_TYPE("(as)"));
    if (reply == nullptr)
        return false;
    GVariantIter* names = nullptr;
    g_variant_get(reply, "(as)", &names);
    bool found = false;
    const char* listed = nullptr;
    while (!found && g_variant_iter_next(names, "&s", &listed))
        found = std::strcmp(listed, name) == 0;
    g_variant_iter_free(names);
    g_variant_unref(reply);
    return found;
}

// gnome-keyring shows its prompts through gcr's prompter, a separate program started over the bus; when
// that cannot be started, an asked-for prompt never comes and the daemon stays waiting on it. Other
// providers (KeePassXC, KWallet) show their prompts themselves.
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

GVariant* callService(Call& call, const std::string& path, const char* interface, const char* method,
                      GVariant* parameters, const GVariantType* reply, GError** error) {
    return callObject(call, serviceName, path.c_str(), interface, method, parameters, reply, error);
}

// Asks for libsecret's object for the service, with the encrypted session, without waiting for it: an
// operation that will carry a secret asks before its search, so that the bus requests that make the
// object and the session's key exchange overlap the search instead of following it.
void requestService(Call& call) {
    if (call.serviceRequested)
        return;
    call.serviceRequested = true;
    secret_service_open(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, call.cancellable,
                        keepResult, &call.serviceMade);
}

// The object a request for it made, or nullptr; `cancelled` tells a cancelled request from a failed one.
SecretService* madeService(GAsyncResult* made, bool& cancelled) {
    GError* error = nullptr;
    SecretService* service = secret_service_open_finish(made, &error);
    cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    if (error == nullptr)
        return service;
    g_error_free(error);
    if (service != nullptr)
        g_object_unref(service);
    return nullptr;
}

// libsecret's object for the service, made only when an operation needs the encrypted session or a
// prompt: making it costs several requests to the bus, which a search or a deletion does without. When
// the session could not be opened with it, it is made without one, for openSession() to try again.
SecretService* secretService(Call& call) {
    if (call.service != nullptr)
        return call.service;
    requestService(call);
    awaitResult(call, call.serviceMade);
    // Taken once: a later call, after a failure, asks anew.
    Finished made(std::exchange(call.serviceMade, nullptr), g_object_unref);
    call.serviceRequested = false;
    bool cancelled = false;
    call.service = madeService(made.get(), cancelled);
    if (call.service != nullptr || cancelled)
        return call.service;
    auto finished = bounded(call, [](GCancellable* cancellable, GAsyncReadyCallback done, gpointer slot) {
        secret_service_open(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, cancellable, done, slot);
    });
    call.service = madeService(finished.get(), cancelled);
    return call.service;
}

// Shows the prompt the service asked for and waits for the person, with no time limit: the prompt's
// result, or nullptr when it was dismissed. A prompt that cannot be shown is dismissed unseen, so that
// it never waits in the daemon.
GVariant* completePrompt(Call& call, const char* prompt, const GVariantType* type) {
    if (!promptPossible(call)) {
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

// Unlocks the items or collections at `paths` the way the desktop does: through the service's prompt.
// Nothing is asked for when no prompt could be shown. Whether they are unlocked afterwards is for the
// caller to look at again: a dismissed prompt may still answer "done".
bool unlock(Call& call, const Paths& paths) {
    if (!promptPossible(call))
        return false;
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
        GVariant* result = completePrompt(call, prompt, nullptr);
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

struct Matches {
    Paths unlocked;
    Paths locked;
};

std::optional<Matches> search(Call& call, const KeychainItem& item) {
    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
    g_variant_builder_add(&attributes, "{ss}", "service", item.service.c_str());
    g_variant_builder_add(&attributes, "{ss}", "account", item.account.c_str());
    GError* error = nullptr;
    GVariant* reply = callService(call, servicePath, serviceInterface, "SearchItems",
                                  g_variant_new("(a{ss})", &attributes), G_VARIANT_TYPE("(aoao)"), &error);
    if (failed(error))
        return std::nullopt;
    gchar** unlocked = nullptr;
    gchar** locked = nullptr;
    g_variant_get(reply, "(^ao^ao)", &unlocked, &locked);
    g_variant_unref(reply);
    return Matches{pathsOf(unlocked), pathsOf(locked)};
}

// The matching items, all unlocked; empty when there is none. nullopt when the truth cannot be had: the
// service failed, or something stays locked (no prompt possible, or the user dismissed it).
std::optional<Paths> unlockedMatches(Call& call, const KeychainItem& item) {
    for (int round = 0; round < 2; ++round) {
        auto found = search(call, item);
        if (!found)
            return std::nullopt;
        auto locked = std::optional(found->locked);
        if (found->unlocked.empty() && locked->empty())
            locked = lockedCollections(call);
        if (!locked)
            return std::nullopt;
        if (locked->empty())
            return found->unlocked;
        if (round == 1 || !unlock(call, *locked))
            return std::nullopt;
    }
    return std::nullopt;
}

// The encrypted session that carries secrets. Opening it sends nothing to the store, so one failed
// attempt (KWallet refuses a client key now and then) is followed by one more.
bool openSession(Call& call) {
    SecretService* service = secretService(call);
    if (service == nullptr)
        return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto finished =
            bounded(call, [&](GCancellable* cancellable, GAsyncReadyCallback done, gpointer slot) {
                secret_service_ensure_session(service, cancellable, done, slot);
            });
        GError* error = nullptr;
        if (secret_service_ensure_session_finish(service, finished.get(), &error))
            return true;
        bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
        g_error_free(error);
        if (cancelled)
            return false;
    }
    return false;
}

enum class Session { later, ahead };

// Connects to the session bus; with `ahead`, the encrypted session is asked for right away.
bool connect(Call& call, Session session = Session::later) {
    if (!sessionBusConfigured())
        return false;
    auto finished = bounded(call, [](GCancellable* cancellable, GAsyncReadyCallback done, gpointer slot) {
        g_bus_get(G_BUS_TYPE_SESSION, cancellable, done, slot);
    });
    GError* error = nullptr;
    call.bus = g_bus_get_finish(finished.get(), &error);
    if (failed(error) || call.bus == nullptr)
        return false;
    if (session == Session::ahead)
        requestService(call);
    return true;
}

KeychainLookup readSecret(Call& call, const Paths& paths) {
    if (!openSession(call))
        return {};
    for (const auto& path : paths) {
        auto finished =
            bounded(call, [&](GCancellable* cancellable, GAsyncReadyCallback done, gpointer slot) {
                secret_service_get_secret_for_dbus_path(call.service, path.c_str(), cancellable, done, slot);
            });
        GError* error = nullptr;
        SecretValue* value =
            secret_service_get_secret_for_dbus_path_finish(call.service, finished.get(), &error);
        if (error != nullptr) {
            bool gone = vanished(error);
            g_error_free(error);
            if (gone)
                continue;
            return {};
        }
        // The service leaves out of its answer an item that is no longer there.
        if (value == nullptr)
            continue;
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        KeychainLookup found{KeychainStatus::success, std::string_view(bytes, length)};
        secret_value_unref(value);
        return found;
    }
    return {KeychainStatus::notFound, {}};
}

// The unlocked items that match, once connected: notFound when there are none, failure when the service
// cannot be reached or searched.
std::pair<KeychainStatus, Paths> connectAndMatch(Call& call, const KeychainItem& item,
                                                 Session session = Session::later) {
    if (!connect(call, session))
        return {KeychainStatus::failure, {}};
    auto paths = unlockedMatches(call, item);
    if (!paths)
        return {KeychainStatus::failure, {}};
    if (paths->empty())
        return {KeychainStatus::notFound, {}};
    return {KeychainStatus::success, std::move(*paths)};
}

// The items a search found may be gone by the time their secrets are asked for, deleted or replaced by
// another client; the search is then made again, so that "not found" comes from a search that found
// nothing. An item listed again and again without a secret is a failure.
KeychainLookup copyItem(const KeychainItem& item, KeychainReturn wanted) {
    constexpr int searches = 3;
    Call call;
    if (!connect(call, wanted == KeychainReturn::data ? Session::ahead : Session::later))
        return {KeychainStatus::failure, {}};
    for (int search = 0; search < searches; ++search) {
        auto paths = unlockedMatches(call, item);
        if (!paths)
            return {KeychainStatus::failure, {}};
        if (paths->empty())
            return {KeychainStatus::notFound, {}};
        if (wanted == KeychainReturn::nothing)
            return {KeychainStatus::success, {}};
        auto found = readSecret(call, *paths);
        if (found.status != KeychainStatus::notFound)
            return found;
    }
    return {KeychainStatus::failure, {}};
}

// The stored form as the session carries it, encrypted; nullptr when it cannot be encoded.
GVariant* encodedSecret(Call& call, std::string_view data) {
    SecretValue* value = secret_value_new(data.data(), static_cast<gssize>(data.size()), storedContentType);
    GVariant* secret = secret_service_encode_dbus_secret(call.service, value);
    secret_value_unref(value);
    return secret;
}

KeychainStatus setSecret(Call& call, const std::string& path, std::string_view data) {
    GVariant* secret = encodedSecret(call, data);
    if (secret == nullptr)
        return KeychainStatus::failure;
    GError* error = nullptr;
    GVariant* reply = callService(call, path, itemInterface, "SetSecret",
                                  g_variant_new("(@(oayays))", secret), nullptr, &error);
    if (error != nullptr) {
        bool gone = vanished(error);
        g_error_free(error);
        return gone ? KeychainStatus::notFound : KeychainStatus::failure;
    }
    g_variant_unref(reply);
    return KeychainStatus::success;
}

KeychainStatus updateItem(const KeychainItem& item, std::string_view data) {
    Call call;
    auto [found, paths] = connectAndMatch(call, item, Session::ahead);
    if (found != KeychainStatus::success)
        return found;
    if (!openSession(call))
        return KeychainStatus::failure;
    // Every matching item gets the data, as the keychain updates every item its query matches; items that
    // vanished meanwhile are passed over.
    auto status = KeychainStatus::notFound;
    for (const auto& path : paths) {
        auto set = setSecret(call, path, data);
        if (set == KeychainStatus::failure)
            return set;
        if (set == KeychainStatus::success)
            status = set;
    }
    return status;
}

// The default collection, unlocked; nullopt when there is none or it stays locked.
std::optional<std::string> unlockedDefaultCollection(Call& call) {
    GError* error = nullptr;
    GVariant* reply = callService(call, servicePath, serviceInterface, "ReadAlias",
                                  g_variant_new("(s)", "default"), G_VARIANT_TYPE("(o)"), &error);
    if (failed(error))
        return std::nullopt;
    const char* found = nullptr;
    g_variant_get(reply, "(&o)", &found);
    std::string collection = found;
    g_variant_unref(reply);
    if (collection == noObject)
        return std::nullopt;
    for (int round = 0; round < 2; ++round) {
        auto locked = isLocked(call, collection);
        if (!locked)
            return std::nullopt;
        if (!*locked)
            return collection;
        if (round == 1 || !unlock(call, {collection}))
            return std::nullopt;
    }
    return std::nullopt;
}

GVariant* itemProperties(const KeychainItem& item) {
    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
    // The schema secret-tool gives its items, so that both see the same items the same way.
    g_variant_builder_add(&attributes, "{ss}", "xdg:schema", "org.freedesktop.Secret.Generic");
    g_variant_builder_add(&attributes, "{ss}", "service", item.service.c_str());
    g_variant_builder_add(&attributes, "{ss}", "account", item.account.c_str());
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Item.Label",
                          g_variant_new_string(item.service.c_str()));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Item.Attributes",
                          g_variant_builder_end(&attributes));
    return g_variant_builder_end(&properties);
}

KeychainStatus addItem(const KeychainItem& item, std::string_view data) {
    Call call;
    if (!connect(call, Session::ahead))
        return KeychainStatus::failure;
    auto collection = unlockedDefaultCollection(call);
    if (!collection || !openSession(call))
        return KeychainStatus::failure;
    GVariant* secret = encodedSecret(call, data);
    if (secret == nullptr)
        return KeychainStatus::failure;
    // The Secret Service replaces an item with the same attributes instead of adding a second, so two
    // writers racing to create one record leave one item, not two.
    GError* error = nullptr;
    GVariant* reply = callService(call, *collection, collectionInterface, "CreateItem",
                                  g_variant_new("(@a{sv}@(oayays)b)", itemProperties(item), secret, TRUE),
                                  G_VARIANT_TYPE("(oo)"), &error);
    if (failed(error))
        return KeychainStatus::failure;
    const char* created = nullptr;
    const char* prompt = nullptr;
    g_variant_get(reply, "(&o&o)", &created, &prompt);
    // The write is done only when the service names the item that holds it: "/" without a prompt, or a
    // prompt that was dismissed, stored nothing.
    bool stored = std::strcmp(created, noObject) != 0;
    if (!stored && std::strcmp(prompt, noObject) != 0) {
        GVariant* result = completePrompt(call, prompt, G_VARIANT_TYPE_OBJECT_PATH);
        stored = result != nullptr && std::strcmp(g_variant_get_string(result, nullptr), noObject) != 0;
        if (result != nullptr)
            g_variant_unref(result);
    }
    g_variant_unref(reply);
    return stored ? KeychainStatus::success : KeychainStatus::failure;
}

// Asks for the item's deletion; whether it is gone is for the caller to look at again, since a provider
// may ask the user first and keep the item when refused.
bool requestDeletion(Call& call, const std::string& path) {
    GError* error = nullptr;
    GVariant* reply =
        callService(call, path, itemInterface, "Delete", nullptr, G_VARIANT_TYPE("(o)"), &error);
    if (error != nullptr) {
        bool gone = vanished(error);
        g_error_free(error);
        return gone;
    }
    const char* prompt = nullptr;
    g_variant_get(reply, "(&o)", &prompt);
    if (std::strcmp(prompt, noObject) != 0) {
        GVariant* result = completePrompt(call, prompt, nullptr);
        if (result != nullptr)
            g_variant_unref(result);
    }
    g_variant_unref(reply);
    return true;
}

KeychainStatus deleteItem(const KeychainItem& item) {
    Call call;
    auto [found, paths] = connectAndMatch(call, item);
    if (found != KeychainStatus::success)
        return found;
    for (const auto& path : paths) {
        if (!requestDeletion(call, path))
            return KeychainStatus::failure;
    }
    // Deleted means none of those items is there any more; one that another run created since is not one
    // of them.
    auto after = search(call, item);
    if (!after)
        return KeychainStatus::failure;
    for (const auto* remaining : {&after->unlocked, &after->locked}) {
        for (const auto& path : *remaining) {
            if (std::find(paths.begin(), paths.end(), path) != paths.end())
                return KeychainStatus::failure;
        }
    }
    return KeychainStatus::success;
}

// The programs that load this never write to standard error, and GLib would report D-Bus trouble there.
GLogWriterOutput discardLog(GLogLevelFlags, const GLogField*, gsize, gpointer) {
    return G_LOG_WRITER_HANDLED;
}

} // namespace

extern "C" const KeychainFunctions* dovrelKeychainFunctions() {
    static const KeychainFunctions functions = [] {
        g_log_set_writer_func(discardLog, nullptr, nullptr);
        // Registers the Secret Service's error names, so that a vanished item is told by its error.
        (void)SECRET_ERROR;
        return KeychainFunctions{copyItem, updateItem, addItem, deleteItem};
    }();
    return &functions;
}
