// One keychain operation's requests to the session bus and the Secret Service, each waited for by one
// rule.
#include "platform/keychain/secret_service.h"
#include "platform/session_bus.h"

#include "platform/process/process.h"
#include "platform/streams.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace secretservice {

namespace {

using Clock = std::chrono::steady_clock;

// How long one request to the bus or the service is waited for, as data. A service that is running gets
// the bus's usual reply time however slowly it works, and its answer is taken whenever it comes within
// that; one that is stopped or has ended never answers, so its process is looked at every `look` and
// the request given up as soon as it is seen so. A service that is gone, or a bus that is gone, fails
// the request at once by itself. The machine's load plays no part: it says nothing of the service.
struct WaitRule {
    std::chrono::milliseconds answer; // the bus's own default reply timeout
    std::chrono::milliseconds look;
};
constexpr WaitRule requestWait{std::chrono::seconds(25), std::chrono::seconds(1)};

// GLib ends the process when it cannot make the descriptors that a main context, its bus connection and
// the bus's worker need. An operation starts only when this many are free, so that a process short of
// descriptors answers with a failure instead of dying.
constexpr int descriptorsNeeded = 16;

std::optional<unsigned> serviceProcess(GDBusConnection* bus) {
    constexpr int timeout = static_cast<int>(requestWait.look.count());
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

bool serviceMayAnswer(Call& call) {
    if (call.bus == nullptr)
        return true;
    if (!call.serviceProcess)
        call.serviceProcess = serviceProcess(call.bus);
    if (!call.serviceProcess)
        return true;
    ProcessHandle process(*call.serviceProcess);
    ProcessRecord record;
    if (!readProcessStat(process, record)) {
        // Ended and collected, or replaced by a service the bus started anew: asked for again next time.
        call.serviceProcess.reset();
        return true;
    }
    return !record.stopped && !record.ended;
}

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

} // namespace

bool descriptorsFree() {
    return descriptorsAvailable(descriptorsNeeded);
}

void awaitResult(Call& call, GAsyncResult* const& result) {
    auto deadline = Clock::now() + requestWait.answer;
    while (result == nullptr) {
        iterateUntil(call.context, result, std::min(deadline, Clock::now() + requestWait.look));
        if (result != nullptr)
            return;
        if (Clock::now() < deadline && serviceMayAnswer(call))
            continue;
        // Cancelled, the request ends at once with an error, as does every later one of the operation.
        g_cancellable_cancel(call.cancellable);
        while (result == nullptr)
            g_main_context_iteration(call.context, TRUE);
    }
}

void keepResult(GObject*, GAsyncResult* result, gpointer slot) {
    *static_cast<GAsyncResult**>(slot) = G_ASYNC_RESULT(g_object_ref(result));
}

namespace {

bool saysObjectGone(const GError* error) {
    if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_INTERFACE))
        return true;
    if (!g_dbus_error_is_remote_error(error))
        return false;
    gchar* name = g_dbus_error_get_remote_error(error);
    bool gone = std::strcmp(name, "org.freedesktop.Secret.Error.NoSuchObject") == 0;
    g_free(name);
    return gone;
}

} // namespace

KeychainStatus consumeError(GError* error) {
    if (error == nullptr)
        return KeychainStatus::success;
    auto status = saysObjectGone(error) ? KeychainStatus::notFound : KeychainStatus::failure;
    g_error_free(error);
    return status;
}

Sent::~Sent() {
    if (sent && result == nullptr)
        awaitResult(call, result);
    if (result != nullptr)
        g_object_unref(result);
}

void send(Sent& sent, const char* name, const std::string& path, const char* interface, const char* method,
          GVariant* parameters, const GVariantType* reply) {
    sent.sent = true;
    g_dbus_connection_call(sent.call.bus, name, path.c_str(), interface, method, parameters, reply,
                           G_DBUS_CALL_FLAGS_NONE, -1, sent.call.cancellable, keepResult, &sent.result);
}

void sendToService(Sent& sent, const std::string& path, const char* interface, const char* method,
                   GVariant* parameters, const GVariantType* reply) {
    send(sent, serviceName, path, interface, method, parameters, reply);
}

SentEach sendToEach(Call& call, const Paths& paths, const char* interface, const char* method,
                    const std::function<GVariant*()>& parameters, const GVariantType* reply) {
    SentEach sent;
    for (const auto& path : paths) {
        sent.push_back(std::make_unique<Sent>(call));
        sendToService(*sent.back(), path, interface, method, parameters(), reply);
    }
    return sent;
}

GVariant* awaitAnswer(Sent& sent, GError** error) {
    awaitResult(sent.call, sent.result);
    GVariant* result = g_dbus_connection_call_finish(sent.call.bus, sent.result, error);
    if (error != nullptr)
        noteLostSession(sent.call, *error);
    return result;
}

GVariant* callObject(Call& call, const char* name, const char* path, const char* interface,
                     const char* method, GVariant* parameters, const GVariantType* reply, GError** error) {
    Sent sent(call);
    send(sent, name, path, interface, method, parameters, reply);
    return awaitAnswer(sent, error);
}

// KWallet now and then forgets a client's encrypted session while other clients open and close theirs,
// and answers a request that carries a secret with Qt's "Can't find session" error.
void noteLostSession(Call& call, const GError* error) {
    if (error == nullptr || !g_dbus_error_is_remote_error(error))
        return;
    gchar* name = g_dbus_error_get_remote_error(error);
    if (std::strcmp(name, "org.qtproject.QtDBus.Error.InvalidObjectPath") == 0 &&
        std::strstr(error->message, "session") != nullptr)
        call.sessionLost = true;
    g_free(name);
}

namespace {

constexpr const char* busName = "org.freedesktop.DBus";
constexpr const char* busPath = "/org/freedesktop/DBus";

GVariant* callBus(Call& call, const char* method, GVariant* parameters, const GVariantType* reply) {
    return callObject(call, busName, busPath, busName, method, parameters, reply, nullptr);
}

void askOwner(Sent& sent, const char* name) {
    send(sent, busName, busPath, busName, "GetNameOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(s)"));
}

// The owner's unique name; empty when the name has none.
std::string ownerIn(Sent& sent) {
    GVariant* reply = awaitAnswer(sent, nullptr);
    if (reply == nullptr)
        return {};
    const char* owner = nullptr;
    g_variant_get(reply, "(&s)", &owner);
    std::string found = owner;
    g_variant_unref(reply);
    return found;
}

} // namespace

// gnome-keyring and kwalletd each own a name of their own beside the Secret Service's; the three owners
// are asked together.
Provider provider(Call& call) {
    if (call.provider)
        return *call.provider;
    Sent secrets(call), gnome(call), kwallet(call);
    askOwner(secrets, serviceName);
    askOwner(gnome, "org.gnome.keyring");
    askOwner(kwallet, "org.kde.kwalletd5");
    std::string owner = ownerIn(secrets);
    call.provider = owner.empty()               ? Provider::other
                    : owner == ownerIn(gnome)   ? Provider::gnomeKeyring
                    : owner == ownerIn(kwallet) ? Provider::kwallet
                                                : Provider::other;
    return *call.provider;
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

GVariant* callService(Call& call, const std::string& path, const char* interface, const char* method,
                      GVariant* parameters, const GVariantType* reply, GError** error) {
    return callObject(call, serviceName, path.c_str(), interface, method, parameters, reply, error);
}

bool connect(Call& call, Session session) {
    if (!sessionBusConfigured())
        return false;
    GAsyncResult* connected = nullptr;
    g_bus_get(G_BUS_TYPE_SESSION, call.cancellable, keepResult, &connected);
    awaitResult(call, connected);
    GError* error = nullptr;
    call.bus = g_bus_get_finish(connected, &error);
    g_object_unref(connected);
    if (consumeError(error) != KeychainStatus::success || call.bus == nullptr)
        return false;
    if (session == Session::ahead)
        requestSession(call);
    return true;
}

} // namespace secretservice
