// The inside of the keychain plugin, shared by its files: one operation's connection to the Secret Service
// with its bounded requests (request.cpp), the encrypted session that carries secrets (session.cpp), and
// the display and prompt policy with the unlocking it allows (prompt.cpp). items.cpp builds the item
// operations on them; nothing outside this folder includes this header.
#pragma once

#include "platform/keychain/keychain.h"
#include "platform/wiped.h"

#include <functional>
#include <gio/gio.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace secretservice {

using Paths = std::vector<std::string>;

constexpr const char* noObject = "/";
// gnome-keyring's in-memory collection, gone at logout: never where a record is kept.
constexpr const char* sessionCollection = "/org/freedesktop/secrets/collection/session";
constexpr const char* serviceName = "org.freedesktop.secrets";
constexpr const char* servicePath = "/org/freedesktop/secrets";
constexpr const char* itemInterface = "org.freedesktop.Secret.Item";
constexpr const char* collectionInterface = "org.freedesktop.Secret.Collection";
constexpr const char* serviceInterface = "org.freedesktop.Secret.Service";
constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";
// The stored form is text, but providers such as KeePassXC expand placeholders ("{TITLE}") in text
// secrets; nobody rewrites bytes. Items stored earlier as text/plain read the same.
constexpr const char* storedContentType = "application/octet-stream";

// When an operation asks for the encrypted session: right away when it connects, or when first needed.
enum class Session { later, ahead };

// Whether a prompt the service asked for shows a window, as far as is known before it is shown.
enum class PromptShows { window, nothing };

// Which program serves the Secret Service, where the keychain has to allow for its ways.
enum class Provider { gnomeKeyring, kwallet, other };

// A collection's `Locked` flag as read: notFound when the collection is no longer there, failure when the
// flag could not be read.
struct LockRead {
    KeychainStatus status = KeychainStatus::failure;
    bool locked = false;
};

// Bytes of a key, wiped when released.
using SecretBytes = std::vector<unsigned char, WipingAllocator<unsigned char>>;

struct Call;

// A method call on its way. Calls that do not wait on each other's answers go to the bus together, each
// answer kept in its own slot until taken; a slot that goes before its answer came waits for it first,
// since the answer would be handed to it.
struct Sent {
    explicit Sent(Call& call) : call(call) {}
    Sent(const Sent&) = delete;
    Sent& operator=(const Sent&) = delete;
    ~Sent();

    Call& call;
    bool sent = false;
    GAsyncResult* result = nullptr;
};

// One keychain operation: its bus connection, the main context on which its requests are answered, the
// cancellable that ends a request the service will not answer (and with it the operation), the encrypted
// session (asked for once, and only by what carries a secret), the service's process once it was asked
// for, and whether a prompt could be shown (decided once, when first needed).
struct Call {
    GMainContext* context = g_main_context_new();
    GCancellable* cancellable = g_cancellable_new();
    GDBusConnection* bus = nullptr;
    std::unique_ptr<Sent> sessionAsked; // the request for the session, until its answer is taken
    SecretBytes sessionPrivate;
    SecretBytes sessionKey;
    std::string sessionPath;
    std::optional<unsigned> serviceProcess;
    std::optional<Provider> provider;
    std::optional<bool> promptPossible;
    bool sessionLost = false; // the service no longer knew this call's encrypted session

    Call() { g_main_context_push_thread_default(context); }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call() {
        // A request still on its way would hand its answer to this object after it is gone.
        if (sessionAsked != nullptr && sessionAsked->sent && sessionAsked->result == nullptr)
            g_cancellable_cancel(cancellable);
        sessionAsked.reset();
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

// Whether the process has the descriptors GLib needs for one operation: GLib ends a process that cannot
// make them, and an operation that does not start answers with a failure instead.
bool descriptorsFree();

// Waits for the request in flight to end, by `requestWait`; a request given up is cancelled, so that a
// wedged daemon ends the operation instead of the caller's wait.
void awaitResult(Call& call, GAsyncResult* const& result);

void keepResult(GObject*, GAsyncResult* result, gpointer slot);

// What a request's error says, freeing it: success when there is none; notFound when the object asked is
// gone (an item deleted by another client between a search and its use, which is the answer "not found",
// not a failure of the service); failure otherwise.
KeychainStatus consumeError(GError* error);

// One method call on an object of the bus or the Secret Service, within the bound.
GVariant* callObject(Call& call, const char* name, const char* path, const char* interface,
                     const char* method, GVariant* parameters, const GVariantType* reply, GError** error);

// Who serves the Secret Service, asked once per operation.
Provider provider(Call& call);

bool nameListed(Call& call, const char* method, const char* name);

GVariant* callService(Call& call, const std::string& path, const char* interface, const char* method,
                      GVariant* parameters, const GVariantType* reply, GError** error);

// Asks for the encrypted session that carries secrets, once; its answer is taken by openSession().
void requestSession(Call& call);

// The encrypted session, once open. A session costs the provider a key exchange, which a search or a
// deletion does without.
bool openSession(Call& call);

// The data as the session carries it, encrypted; nullptr when the session is not open.
GVariant* encodedSecret(Call& call, std::string_view data);

// The data a secret of the session's carries, decrypted; nullopt when it cannot be.
std::optional<WipedBuffer> decodedSecret(Call& call, GVariant* secret);

// Connects to the session bus; with `ahead`, the encrypted session is asked for right away.
bool connect(Call& call, Session session = Session::later);

void send(Sent& sent, const char* name, const std::string& path, const char* interface, const char* method,
          GVariant* parameters, const GVariantType* reply);
void sendToService(Sent& sent, const std::string& path, const char* interface, const char* method,
                   GVariant* parameters, const GVariantType* reply);
// Waits for the call's answer within the bound, and takes it.
GVariant* awaitAnswer(Sent& sent, GError** error);

// The same call to the service's object at each path, all sent before any answer is waited for; the
// parameters are made anew for each.
using SentEach = std::vector<std::unique_ptr<Sent>>;
SentEach sendToEach(Call& call, const Paths& paths, const char* interface, const char* method,
                    const std::function<GVariant*()>& parameters, const GVariantType* reply);

// Notes in `call` whether `error` says that the service has dropped the call's encrypted session.
void noteLostSession(Call& call, const GError* error);

// Whether a window the provider shows can be seen and answered.
bool promptPossible(Call& call);

// Shows the prompt the service asked for and waits for the person, with no time limit: the prompt's
// result, or nullptr when it was dismissed, or when the provider went away meanwhile. A prompt that cannot
// be shown is dismissed unseen, so that it never waits in the daemon. `overtaken`, asked whenever the
// service announces a new collection, ends the wait when another program did what the prompt was for.
GVariant* completePrompt(Call& call, const char* prompt, const GVariantType* type,
                         PromptShows shows = PromptShows::window,
                         const std::function<bool()>& overtaken = {});

// The paths of a string vector, which is freed.
Paths takePaths(gchar** paths);

// Unlocks the collections or items at `paths` through the service's own Unlock, which shows nothing by
// itself. A provider that can unlock without asking answers with no prompt, or (KWallet, when another
// program has the wallet open) with one that completes without a window; otherwise its prompt is shown
// and waited for with no limit, or dismissed unseen when it cannot be shown. Whether all is unlocked
// afterwards is for the caller to look at again: a dismissed prompt may still answer "done".
bool unlock(Call& call, const Paths& paths);

// Those of the locked `paths` that unlock without a window: KWallet's wallets that another program has open.
Paths openWithoutWindow(Call& call, const Paths& paths);

LockRead readLock(Call& call, const std::string& collection);

// The collections, open and locked, each by its `Locked` flag. A property read is the one request that no
// provider turns into a window: KeePassXC makes a search of a locked database wait on its own unlock
// window, shown whether or not anyone can see it, and hides a locked collection's items from searches.
struct Collections {
    Paths open;
    Paths locked;
};
std::optional<Collections> collections(Call& call);

} // namespace secretservice
