// The keychain's four item operations over the Secret Service (gnome-keyring, KWallet, KeePassXC), on
// D-Bus object paths: they tell unlocked items from locked ones and a vanished item from a failure, which
// libsecret's simple password calls hide. Items carry the attributes "service" and "account", so
// `secret-tool search service S account A` finds them, and items that secret-tool stored under those
// attributes are found here. A locked keyring is opened only where the record is or may be, and every
// write is read back.
#include "platform/keychain/plugin.h"
#include "platform/keychain/secret_service.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace {

using namespace secretservice;

// What a search tells without a window: the items found unlocked, those found locked (gnome-keyring names
// them), and the locked collections it could not look into.
struct Matches {
    Paths unlocked;
    Paths locked;
    Paths unsearched;
};

// The attributes that identify the record's items; with the schema, those secret-tool gives its items,
// so that both see the same items the same way.
GVariant* itemAttributes(const KeychainItem& item, bool withSchema = false) {
    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
    if (withSchema)
        g_variant_builder_add(&attributes, "{ss}", "xdg:schema", "org.freedesktop.Secret.Generic");
    g_variant_builder_add(&attributes, "{ss}", "service", item.service.c_str());
    g_variant_builder_add(&attributes, "{ss}", "account", item.account.c_str());
    return g_variant_builder_end(&attributes);
}

// The service's own search, over every collection.
std::optional<Matches> search(Call& call, const KeychainItem& item) {
    GError* error = nullptr;
    GVariant* reply =
        callService(call, servicePath, serviceInterface, "SearchItems",
                    g_variant_new("(@a{ss})", itemAttributes(item)), G_VARIANT_TYPE("(aoao)"), &error);
    if (consumeError(error) != KeychainStatus::success)
        return std::nullopt;
    gchar** unlocked = nullptr;
    gchar** locked = nullptr;
    g_variant_get(reply, "(^ao^ao)", &unlocked, &locked);
    g_variant_unref(reply);
    return Matches{takePaths(unlocked), takePaths(locked), {}};
}

// A search of the open collections alone, each asked at once, with the locked ones left unsearched.
std::optional<Matches> searchOpen(Call& call, const KeychainItem& item, Collections known) {
    auto asked = sendToEach(
        call, known.open, collectionInterface, "SearchItems",
        [&] { return g_variant_new("(@a{ss})", itemAttributes(item)); }, G_VARIANT_TYPE("(ao)"));
    Matches found{{}, {}, std::move(known.locked)};
    for (auto& sent : asked) {
        GError* error = nullptr;
        GVariant* reply = awaitAnswer(*sent, &error);
        auto status = consumeError(error);
        if (status == KeychainStatus::notFound)
            continue;
        if (status == KeychainStatus::failure)
            return std::nullopt;
        gchar** items = nullptr;
        g_variant_get(reply, "(^ao)", &items);
        g_variant_unref(reply);
        for (auto& path : takePaths(items))
            found.unlocked.push_back(std::move(path));
    }
    return found;
}

// A search that puts no window on the screen. gnome-keyring's never does, and names what it found in
// locked collections; other providers are searched as a whole only when nothing is locked, since
// KeePassXC waits on its unlock window for a search that touches a locked database, and neither it nor
// KWallet names what a locked store holds.
std::optional<Matches> searchWithoutWindow(Call& call, const KeychainItem& item) {
    if (provider(call) == Provider::gnomeKeyring)
        return search(call, item);
    auto known = collections(call);
    if (!known)
        return std::nullopt;
    // KeePassXC without a database asks for one to be opened when searched.
    if (known->open.empty() && known->locked.empty())
        return Matches{};
    if (known->locked.empty())
        return search(call, item);
    return searchOpen(call, item, std::move(*known));
}

// What may hold the record but could not be looked into: the collections or items a search found locked.
Paths closedTo(const Matches& found) {
    return found.locked.empty() ? found.unsearched : found.locked;
}

// The matching items, all unlocked: notFound when there are none, failure when the truth cannot be had
// (the service failed, or what may hold the record stays locked: no prompt possible, or the person
// dismissed it). A locked keyring is opened only when the record was not found open and is, or may be,
// in it: a keyring the record is not in costs the person nothing. Those that open without a window
// (KWallet's wallets held open by another program) are opened and searched before the person is asked
// for the rest.
std::pair<KeychainStatus, Paths> unlockedMatches(Call& call, const KeychainItem& item) {
    auto found = searchWithoutWindow(call, item);
    if (found && found->unlocked.empty()) {
        // Items locked on their own, in an open collection, are unlocked the same way.
        Paths closed = closedTo(*found);
        Paths quiet = openWithoutWindow(call, closed);
        if (!quiet.empty() && quiet.size() < closed.size()) {
            found = unlock(call, quiet) ? searchWithoutWindow(call, item) : std::nullopt;
            closed = found && found->unlocked.empty() ? closedTo(*found) : Paths{};
        }
        if (!closed.empty())
            found = unlock(call, closed) ? searchWithoutWindow(call, item) : std::nullopt;
        if (found && found->unlocked.empty() && !closedTo(*found).empty())
            found.reset();
    }
    if (!found)
        return {KeychainStatus::failure, {}};
    if (found->unlocked.empty())
        return {KeychainStatus::notFound, {}};
    return {KeychainStatus::success, std::move(found->unlocked)};
}

// The secret of the item at `path`, once the session is open: notFound when the item has vanished.
KeychainLookup secretAt(Call& call, const std::string& path) {
    GError* error = nullptr;
    GVariant* reply =
        callService(call, path, itemInterface, "GetSecret", g_variant_new("(o)", call.sessionPath.c_str()),
                    G_VARIANT_TYPE("((oayays))"), &error);
    if (auto status = consumeError(error); status != KeychainStatus::success)
        return {status, {}};
    GVariant* secret = g_variant_get_child_value(reply, 0);
    auto data = decodedSecret(call, secret);
    g_variant_unref(secret);
    g_variant_unref(reply);
    if (!data)
        return {KeychainStatus::failure, {}};
    return {KeychainStatus::success, std::move(*data)};
}

// Whether the write of a record's data to the item at `path` took: read back, the item must hold data,
// since a provider may answer "done" and keep an empty text (KeePassXC, for values it takes for its own
// field references). Other data, or no item at all, is a later writer's or remover's doing, which the
// record's last acknowledged state rightly follows; a stored form is never empty, so an empty one can
// be nobody's.
bool writeTook(Call& call, const std::string& path) {
    auto found = secretAt(call, path);
    return found.status == KeychainStatus::notFound ||
           (found.status == KeychainStatus::success && found.data.size() > 0);
}

KeychainLookup readSecret(Call& call, const Paths& paths) {
    if (!openSession(call))
        return {};
    for (const auto& path : paths) {
        auto found = secretAt(call, path);
        if (found.status != KeychainStatus::notFound)
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
    return unlockedMatches(call, item);
}

// The items a search found may be gone by the time they are read or written, deleted or replaced by
// another client; the search is then made again, so that "not found" comes from a search that found
// nothing. An item listed again and again and gone each time is a failure.
constexpr int searches = 3;

KeychainLookup copyItemIn(Call& call, const KeychainItem& item, KeychainReturn wanted) {
    if (!connect(call, wanted == KeychainReturn::data ? Session::ahead : Session::later))
        return {KeychainStatus::failure, {}};
    for (int search = 0; search < searches; ++search) {
        auto [matched, paths] = unlockedMatches(call, item);
        if (matched != KeychainStatus::success || wanted == KeychainReturn::nothing)
            return {matched, {}};
        auto found = readSecret(call, paths);
        if (found.status != KeychainStatus::notFound)
            return found;
    }
    return {KeychainStatus::failure, {}};
}

KeychainStatus setSecret(Call& call, const std::string& path, std::string_view data) {
    GVariant* secret = encodedSecret(call, data);
    if (secret == nullptr)
        return KeychainStatus::failure;
    GError* error = nullptr;
    GVariant* reply = callService(call, path, itemInterface, "SetSecret",
                                  g_variant_new("(@(oayays))", secret), nullptr, &error);
    auto status = consumeError(error);
    if (status == KeychainStatus::success)
        g_variant_unref(reply);
    return status;
}

// Whether a search still lists the item at `path`. A provider may answer a request on an item that
// another client deleted meanwhile with an error of its own (KWallet does) rather than "no such
// object"; an item no longer listed vanished, which is not a failure of the write. When the search
// itself fails, the item counts as listed.
bool stillListed(Call& call, const KeychainItem& item, const std::string& path) {
    auto found = searchWithoutWindow(call, item);
    if (!found)
        return true;
    for (const auto* listed : {&found->unlocked, &found->locked}) {
        if (std::find(listed->begin(), listed->end(), path) != listed->end())
            return true;
    }
    return false;
}

// Gives the item at `path` the data, and checks that the write took; when it did not, the data it held
// before is put back, so that a refused update leaves the record as it was.
KeychainStatus replaceSecret(Call& call, const std::string& path, std::string_view data) {
    auto before = secretAt(call, path);
    if (before.status != KeychainStatus::success)
        return before.status;
    auto set = setSecret(call, path, data);
    if (set == KeychainStatus::notFound)
        return set;
    bool took = writeTook(call, path);
    if (set == KeychainStatus::success && took)
        return set;
    if (!took)
        setSecret(call, path, before.data);
    return KeychainStatus::failure;
}

// Every matching item gets the data, as the keychain updates every item its query matches; items that
// vanished meanwhile are passed over, and notFound says that all had.
KeychainStatus updateItems(Call& call, const KeychainItem& item, const Paths& paths, std::string_view data) {
    if (!openSession(call))
        return KeychainStatus::failure;
    auto status = KeychainStatus::notFound;
    for (const auto& path : paths) {
        auto set = replaceSecret(call, path, data);
        if (set == KeychainStatus::failure && !stillListed(call, item, path))
            set = KeychainStatus::notFound;
        if (set == KeychainStatus::failure)
            return set;
        if (set == KeychainStatus::success)
            status = set;
    }
    return status;
}

// The collection the alias "default" names: noObject when it names none; nullopt when it cannot be read.
std::optional<std::string> defaultAlias(Call& call) {
    GError* error = nullptr;
    GVariant* reply = callService(call, servicePath, serviceInterface, "ReadAlias",
                                  g_variant_new("(s)", "default"), G_VARIANT_TYPE("(o)"), &error);
    if (consumeError(error) != KeychainStatus::success)
        return std::nullopt;
    const char* found = nullptr;
    g_variant_get(reply, "(&o)", &found);
    std::string collection = found;
    g_variant_unref(reply);
    return collection;
}

// Whether a record kept in `collection` would last: gnome-keyring's "session" collection is gone at logout.
bool keepsRecords(const std::string& collection) {
    return collection != noObject && collection != sessionCollection;
}

// A first session may have no keyring to keep records in yet (gnome-keyring keeps only its in-memory
// collection until one is made): as every libsecret program does, the provider is asked for a new default
// one, and shows its own window in which the person chooses its password. Without a window nothing is
// asked, since the provider's prompt would wait unseen. gnome-keyring never completes a creation prompt
// whose alias another program took meanwhile, so the wait ends when the alias names a collection.
std::optional<std::string> createDefaultCollection(Call& call) {
    if (!promptPossible(call))
        return std::nullopt;
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
                          g_variant_new_string("Default keyring"));
    GError* error = nullptr;
    GVariant* reply =
        callService(call, servicePath, serviceInterface, "CreateCollection",
                    g_variant_new("(a{sv}s)", &properties, "default"), G_VARIANT_TYPE("(oo)"), &error);
    if (consumeError(error) != KeychainStatus::success)
        return std::nullopt;
    const char* made = nullptr;
    const char* prompt = nullptr;
    g_variant_get(reply, "(&o&o)", &made, &prompt);
    std::string collection = made;
    if (std::strcmp(prompt, noObject) != 0) {
        auto taken = [&] {
            auto alias = defaultAlias(call);
            return alias && keepsRecords(*alias);
        };
        GVariant* result =
            completePrompt(call, prompt, G_VARIANT_TYPE_OBJECT_PATH, PromptShows::window, taken);
        collection = result != nullptr ? g_variant_get_string(result, nullptr) : noObject;
        if (result != nullptr)
            g_variant_unref(result);
        if (collection == noObject)
            collection = defaultAlias(call).value_or(noObject);
    }
    g_variant_unref(reply);
    if (!keepsRecords(collection))
        return std::nullopt;
    return collection;
}

// The collection a new record goes to, unlocked: the default one, made first when there is none (an
// alias that names no collection, or one that is gone).
// nullopt when there is none and none was made, or it stays locked.
std::optional<std::string> collectionForNewItems(Call& call) {
    auto collection = defaultAlias(call);
    if (!collection)
        return std::nullopt;
    // An alias that names gnome-keyring's in-memory collection is someone's choice that nothing last; its
    // creation prompt, for an alias already taken, would never be shown.
    if (*collection == sessionCollection)
        return std::nullopt;
    auto lock = keepsRecords(*collection) ? readLock(call, *collection) : LockRead{KeychainStatus::notFound};
    if (lock.status == KeychainStatus::notFound)
        return createDefaultCollection(call);
    if (lock.status == KeychainStatus::success && lock.locked && unlock(call, {*collection}))
        lock = readLock(call, *collection);
    if (lock.status != KeychainStatus::success || lock.locked)
        return std::nullopt;
    return collection;
}

GVariant* itemProperties(const KeychainItem& item) {
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Item.Label",
                          g_variant_new_string(item.service.c_str()));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Item.Attributes",
                          itemAttributes(item, true));
    return g_variant_builder_end(&properties);
}

// The item CreateItem made, once its prompt (if any) was shown and answered; nothing when it made none. A
// prompt dismissed is a failure whatever it names: KeePassXC names an item it left empty.
std::optional<std::string> completeCreation(Call& call, GVariant* reply) {
    const char* created = nullptr;
    const char* prompt = nullptr;
    g_variant_get(reply, "(&o&o)", &created, &prompt);
    std::string item = created;
    if (std::strcmp(prompt, noObject) != 0) {
        GVariant* result = completePrompt(call, prompt, G_VARIANT_TYPE_OBJECT_PATH);
        if (result == nullptr)
            return std::nullopt;
        item = g_variant_get_string(result, nullptr);
        g_variant_unref(result);
    }
    if (item == noObject)
        return std::nullopt;
    return item;
}

// Asks for the item's deletion: success when the service deleted it, notFound when it had vanished
// already, failure when the service refused, or the item stays after its prompt. KeePassXC completes its
// prompt as answered even when the person declined its confirmation, so after a prompt the item's absence
// is the answer. KeePassXC never gives a new item a path that another had; KWallet, whose numbered paths a
// recreated item may take, deletes without a prompt.
KeychainStatus requestDeletion(Call& call, const KeychainItem& item, const std::string& path) {
    GError* error = nullptr;
    GVariant* reply =
        callService(call, path, itemInterface, "Delete", nullptr, G_VARIANT_TYPE("(o)"), &error);
    if (auto status = consumeError(error); status != KeychainStatus::success)
        return status;
    const char* prompt = nullptr;
    g_variant_get(reply, "(&o)", &prompt);
    bool deleted = true;
    if (std::strcmp(prompt, noObject) != 0) {
        GVariant* result = completePrompt(call, prompt, nullptr);
        deleted = result != nullptr && !stillListed(call, item, path);
        if (result != nullptr)
            g_variant_unref(result);
    }
    g_variant_unref(reply);
    return deleted ? KeychainStatus::success : KeychainStatus::failure;
}

// After a create that failed, the items of the record that hold nothing are removed: a provider may
// have made one, and no record is ever stored empty, so none of them is another writer's.
void removeEmptyItems(Call& call, const KeychainItem& item) {
    auto found = searchWithoutWindow(call, item);
    if (!found)
        return;
    for (const auto& path : found->unlocked) {
        auto held = secretAt(call, path);
        if (held.status == KeychainStatus::success && held.data.size() == 0)
            requestDeletion(call, item, path);
    }
}

KeychainStatus createItem(Call& call, const KeychainItem& item, std::string_view data) {
    auto collection = collectionForNewItems(call);
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
    if (consumeError(error) != KeychainStatus::success)
        return KeychainStatus::failure;
    auto created = completeCreation(call, reply);
    g_variant_unref(reply);
    // Done means stored, not merely a named item.
    if (created && (writeTook(call, *created) || !stillListed(call, item, *created)))
        return KeychainStatus::success;
    removeEmptyItems(call, item);
    return KeychainStatus::failure;
}

// The record's items get the data; where a search finds none, the record is created.
KeychainStatus writeItemIn(Call& call, const KeychainItem& item, std::string_view data) {
    if (!connect(call, Session::ahead))
        return KeychainStatus::failure;
    for (int search = 0; search < searches; ++search) {
        auto [found, paths] = unlockedMatches(call, item);
        if (found == KeychainStatus::notFound)
            return createItem(call, item, data);
        if (found == KeychainStatus::success)
            found = updateItems(call, item, paths, data);
        if (found != KeychainStatus::notFound)
            return found;
    }
    return KeychainStatus::failure;
}

KeychainStatus deleteItemIn(Call& call, const KeychainItem& item) {
    auto [found, paths] = connectAndMatch(call, item);
    if (found != KeychainStatus::success)
        return found;
    // The service's word is taken for each item it deleted: a search afterwards cannot tell an item that
    // stayed from one that another run created since at the same path, which KWallet's numbered item
    // paths allow.
    for (const auto& path : paths) {
        if (requestDeletion(call, item, path) == KeychainStatus::failure && stillListed(call, item, path))
            return KeychainStatus::failure;
    }
    return KeychainStatus::success;
}

bool failedOutright(KeychainStatus status) {
    return status == KeychainStatus::failure;
}

bool failedOutright(const KeychainLookup& lookup) {
    return lookup.status == KeychainStatus::failure;
}

// Runs an operation in a call of its own, when the descriptors it needs are free; one that failed because the
// service dropped its encrypted session runs once more on a new connection, which gets a session of its own.
// The refused request changed nothing, so nothing is done twice. The whole operation runs again, not the one
// request: that request carried a secret encrypted for the session that was lost.
template <typename Operation, typename Result = decltype(std::declval<Operation>()(std::declval<Call&>()))>
Result inOwnCall(Result failure, Operation operation) {
    if (!descriptorsFree())
        return failure;
    bool lost = false;
    auto result = [&] {
        Call call;
        auto first = operation(call);
        lost = call.sessionLost;
        return first;
    }();
    if (!lost || !failedOutright(result))
        return result;
    Call again;
    return operation(again);
}

KeychainLookup copyItem(const KeychainItem& item, KeychainReturn wanted) {
    return inOwnCall(KeychainLookup{KeychainStatus::failure, {}},
                     [&](Call& call) { return copyItemIn(call, item, wanted); });
}

KeychainStatus writeItem(const KeychainItem& item, std::string_view data) {
    return inOwnCall(KeychainStatus::failure, [&](Call& call) { return writeItemIn(call, item, data); });
}

KeychainStatus deleteItem(const KeychainItem& item) {
    return inOwnCall(KeychainStatus::failure, [&](Call& call) { return deleteItemIn(call, item); });
}

// The programs that load this never write to standard error, and GLib would report D-Bus trouble there.
GLogWriterOutput discardLog(GLogLevelFlags, const GLogField*, gsize, gpointer) {
    return G_LOG_WRITER_HANDLED;
}

} // namespace

extern "C" const KeychainFunctions* dovrelKeychainFunctions() {
    static const KeychainFunctions functions = [] {
        g_log_set_writer_func(discardLog, nullptr, nullptr);
        return KeychainFunctions{copyItem, writeItem, deleteItem};
    }();
    return &functions;
}
