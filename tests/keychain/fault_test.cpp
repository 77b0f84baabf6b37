// Credential records when the keychain stops answering or dies, against the real gnome-keyring of the test
// session; locked stores and their prompts are the provider tests' cases. These tests stop and kill the one
// keyring daemon, so each runs alone.
#include "tests/dialogs/dialog_driver.h"
#include "tests/github/github_test_support.h"

#include <algorithm>
#include <csignal>
#include <future>
#include <gio/gio.h>
#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

const char* secrets = "org.freedesktop.secrets";
const char* login = "/org/freedesktop/secrets/collection/login";

GVariant* callBus(const char* destination, const char* path, const char* interface, const char* method,
                  GVariant* parameters, GDBusConnection* connection = nullptr) {
    GDBusConnection* bus =
        connection != nullptr ? connection : g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, destination, path, interface, method, parameters,
                                                  nullptr, G_DBUS_CALL_FLAGS_NONE, 60'000, nullptr, &error);
    EXPECT_EQ(error, nullptr) << method << ": " << error->message;
    if (connection == nullptr)
        g_object_unref(bus);
    return reply;
}

void dropReply(GVariant* reply) {
    if (reply != nullptr)
        g_variant_unref(reply);
}

// Unlocks without a prompt through gnome-keyring's own interface, with the session's throw-away password.
void unlockLogin() {
    // A private connection: the plain session belongs to the connection that opened it.
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        g_getenv("DBUS_SESSION_BUS_ADDRESS"),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    ASSERT_NE(bus, nullptr);
    GVariant* opened = callBus(secrets, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
                               "OpenSession", g_variant_new("(sv)", "plain", g_variant_new_string("")), bus);
    ASSERT_NE(opened, nullptr);
    const char* session = nullptr;
    g_variant_get(opened, "(v&o)", nullptr, &session);
    const std::string password = "throwaway";
    GVariant* secret = g_variant_new(
        "(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password.data(), password.size(), 1), "text/plain");
    dropReply(callBus(secrets, "/org/freedesktop/secrets",
                      "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "UnlockWithMasterPassword",
                      g_variant_new("(o@(oayays))", login, secret), bus));
    g_variant_unref(opened);
    g_object_unref(bus);
}

pid_t keyringDaemon() {
    GVariant* reply = callBus("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "GetConnectionUnixProcessID", g_variant_new("(s)", secrets));
    guint32 pid = 0;
    if (reply != nullptr)
        g_variant_get(reply, "(u)", &pid);
    dropReply(reply);
    return static_cast<pid_t>(pid);
}

class LockedKeychain : public ::testing::Test {
protected:
    void SetUp() override { SKIP_OUTSIDE_SESSION_SERVICES(); }
    void TearDown() override {
        if (insideSessionServices())
            unlockLogin();
    }
};

struct Answer {
    std::string reply;
    double seconds = 0;
};

Answer timedAsk(const std::string& request,
                std::optional<std::vector<std::string>> environment = std::nullopt) {
    auto start = Clock::now();
    auto reply = ask(request, environment);
    return {reply, std::chrono::duration<double>(Clock::now() - start).count()};
}

TEST_F(LockedKeychain, StoppedOrKilledDaemonEndsEveryRunAndKeepsRecordsWhole) {
    constexpr int records = 24;
    auto accountOf = [](int record) {
        return std::string(62, 'd') + char('a' + record / 10) + char('0' + record % 10);
    };
    auto valueSet = [](int record, const std::string& round) {
        auto tag = std::to_string(record) + "-" + round;
        return R"({"left":")" + tag + R"(","right":")" + tag + R"("})";
    };
    auto readReply = [&](int record, const std::string& round) {
        return R"({"ok":true,"values":)" + valueSet(record, round) + "}";
    };
    for (int record = 0; record < records; ++record)
        ASSERT_EQ(timedAsk(writeRequest(accountOf(record), valueSet(record, "old"))).reply, R"({"ok":true})");

    // A daemon that stops answering: the run gives up on its own.
    auto daemon = keyringDaemon();
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(kill(daemon, SIGSTOP), 0);
    auto wedged = timedAsk(request("exists", accountOf(0)), environmentWithoutDisplay());
    kill(daemon, SIGCONT);
    EXPECT_EQ(wedged.reply, failureReplyText);
    // Seen stopped, not waited out: a request to a running service may take the bus's reply time of 25 s.
    EXPECT_LT(wedged.seconds, 25.0);
    std::printf("stopped daemon: exists answered %s in %.3f s\n", wedged.reply.c_str(), wedged.seconds);

    // Killed while runs are in flight. Without a display, a daemon that the bus starts anew (locked) is
    // refused at once instead of prompting.
    auto noDisplay = environmentWithoutDisplay();
    std::vector<std::future<Answer>> writes, others;
    for (int record = 0; record < records; ++record) {
        writes.push_back(std::async(std::launch::async, [&, record] {
            return timedAsk(writeRequest(accountOf(record), valueSet(record, "new")), noDisplay);
        }));
        others.push_back(std::async(std::launch::async, [&, record] {
            return timedAsk(request(record % 2 == 0 ? "read" : "exists", accountOf(record)), noDisplay);
        }));
    }
    // Once the first write has answered, so that some were acknowledged and others are still on the way.
    writes.front().wait();
    kill(daemon, SIGKILL);
    double longest = 0;
    std::vector<std::string> written;
    for (auto& write : writes) {
        auto answer = write.get();
        written.push_back(answer.reply);
        longest = std::max(longest, answer.seconds);
    }
    for (auto& other : others)
        longest = std::max(longest, other.get().seconds);
    auto acknowledged = std::count(written.begin(), written.end(), R"({"ok":true})");
    std::printf("killed daemon: %ld of %d writes acknowledged; the slowest of %d runs answered in %.3f s\n",
                acknowledged, records, 2 * records, longest);

    unlockLogin();
    for (int record = 0; record < records; ++record) {
        auto now = timedAsk(request("read", accountOf(record))).reply;
        if (written[record] == R"({"ok":true})")
            EXPECT_EQ(now, readReply(record, "new")) << record;
        else
            EXPECT_TRUE(now == readReply(record, "old") || now == readReply(record, "new")) << now;
        timedAsk(request("remove", accountOf(record)));
    }
}

} // namespace
