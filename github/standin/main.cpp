// gh: the project's stand-in for the GitHub CLI. It answers the three invocations the application makes
// for real: "auth login" signs in with what the browser hands over, "auth status" reports that sign-in,
// "auth git-credential get" hands out its token, across separate processes. The sign-in record lives
// in GH_CONFIG_DIR and the token in the Secret Service.
//
// Files in GH_CONFIG_DIR:
//   standin-browser   user=<name> and token=<token> lines: what the browser gives the waiting login.
//   standin-hosts     the sign-in record (written by the login).
//   standin-calls     when present, each invocation appends its command (status, login or credential)
//                     and the credential command its input to standin-credential-input.
//   standin-control   test controls, lines <command>.<control>=<value> with <command> one of status,
//                     login, credential; controls: exit=<status>, delay=<seconds>, ignore-term=1,
//                     output-size=<bytes>, answer=<file in GH_CONFIG_DIR to print>, wait=<seconds the
//                     login waits for the browser>, state=<text>, token-source=<text>.
#include "platform/keychain.h"
#include "platform/uuid.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

namespace {

using Json = nlohmann::json;
using Fields = std::map<std::string, std::string>;

constexpr std::string_view host = "github.com";
constexpr std::string_view gistHost = "gist.github.com";
constexpr std::string_view tokenService = "gh:github.com";
constexpr std::size_t fileLimit = 1'048'576;
constexpr double defaultBrowserWait = 60;

enum class Command { status, login, credential };

struct Invocation {
    Command command;
    std::string configDirectory;
    Fields controls;
};

std::optional<std::string> readFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    std::string bytes;
    char chunk[4096];
    for (;;) {
        ssize_t count = read(fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0 || bytes.size() + static_cast<std::size_t>(count) > fileLimit) {
            close(fd);
            return count == 0 ? std::optional(bytes) : std::nullopt;
        }
        bytes.append(chunk, static_cast<std::size_t>(count));
    }
}

bool writeFile(const std::string& path, std::string_view bytes) {
    // Written beside and renamed into place, so a reader never sees half a record.
    std::string partial = path + ".partial";
    int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    written = close(fd) == 0 && written;
    return written && rename(partial.c_str(), path.c_str()) == 0;
}

void writeOut(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t count = write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return;
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
}

Fields parseLines(std::string_view text) {
    Fields fields;
    while (!text.empty()) {
        auto end = text.find('\n');
        auto line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty())
            break;
        auto equals = line.find('=');
        if (equals != std::string_view::npos)
            fields.emplace(std::string(line.substr(0, equals)), std::string(line.substr(equals + 1)));
    }
    return fields;
}

std::optional<long long> numberOf(const Fields& fields, const std::string& name) {
    auto found = fields.find(name);
    if (found == fields.end())
        return std::nullopt;
    long long value = 0;
    const auto& text = found->second;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<double> secondsOf(const Fields& fields, const std::string& name) {
    auto found = fields.find(name);
    if (found == fields.end())
        return std::nullopt;
    double value = 0;
    const auto& text = found->second;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !(value >= 0) || value > 86400)
        return std::nullopt;
    return value;
}

void pause(double seconds) {
    timespec left{static_cast<time_t>(seconds),
                  static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
}

std::optional<Command> commandOf(const std::vector<std::string>& arguments) {
    using Arguments = std::vector<std::string>;
    if (arguments == Arguments{"auth", "status", "--active", "--hostname", "github.com", "--json", "hosts"})
        return Command::status;
    if (arguments == Arguments{"auth", "login", "--hostname", "github.com", "--git-protocol", "https",
                               "--web", "--clipboard", "--skip-ssh-key"})
        return Command::login;
    if (arguments == Arguments{"auth", "git-credential", "get"})
        return Command::credential;
    return std::nullopt;
}

Fields controlsFor(const std::string& configDirectory, Command command) {
    static constexpr const char* prefixes[] = {"status.", "login.", "credential."};
    std::string prefix = prefixes[static_cast<int>(command)];
    Fields controls;
    auto text = readFile(configDirectory + "/standin-control");
    if (!text)
        return controls;
    std::string_view rest = *text;
    while (!rest.empty()) {
        auto end = rest.find('\n');
        auto line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        auto equals = line.find('=');
        if (equals == std::string_view::npos || line.substr(0, prefix.size()) != prefix)
            continue;
        controls.emplace(std::string(line.substr(prefix.size(), equals - prefix.size())),
                         std::string(line.substr(equals + 1)));
    }
    return controls;
}

void recordCall(const Invocation& invocation) {
    static constexpr const char* names[] = {"status\n", "login\n", "credential\n"};
    int fd = open((invocation.configDirectory + "/standin-calls").c_str(),
                  O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    const char* name = names[static_cast<int>(invocation.command)];
    (void)!write(fd, name, std::strlen(name));
    close(fd);
}

// A canned answer or an answer of a given size, when the controls ask for one.
bool answeredByControls(const Invocation& invocation) {
    const auto& controls = invocation.controls;
    if (auto size = numberOf(controls, "output-size"); size && *size >= 0) {
        std::string block(65536, 'x');
        for (long long left = *size; left > 0; left -= static_cast<long long>(block.size()))
            writeOut(std::string_view(block).substr(
                0, static_cast<std::size_t>(std::min<long long>(left, 65536))));
        return true;
    }
    if (auto answer = controls.find("answer"); answer != controls.end()) {
        if (answer->second.find('/') != std::string::npos)
            return true;
        writeOut(readFile(invocation.configDirectory + "/" + answer->second).value_or(""));
        return true;
    }
    return controls.count("exit") != 0;
}

struct SignIn {
    std::string user;
    std::string account;
    std::optional<std::string> token;
    bool tokenInRecord = false; // the Secret Service refused it at sign-in
};

std::optional<SignIn> readSignIn(const std::string& configDirectory) {
    auto text = readFile(configDirectory + "/standin-hosts");
    if (!text)
        return std::nullopt;
    auto fields = parseLines(*text);
    if (fields["user"].empty())
        return std::nullopt;
    SignIn signIn{fields["user"], fields["account"], std::nullopt};
    if (auto token = fields.find("token"); token != fields.end()) {
        signIn.token = token->second;
        signIn.tokenInRecord = true;
        return signIn;
    }
    auto stored = keychainCopy({std::string(tokenService), signIn.account});
    if (stored.status == KeychainStatus::success)
        signIn.token = stored.data;
    return signIn;
}

int reportStatus(const Invocation& invocation) {
    auto signIn = readSignIn(invocation.configDirectory);
    if (!signIn) {
        writeOut(R"({"hosts":{}})"
                 "\n");
        return 0;
    }
    const auto& controls = invocation.controls;
    Json entry{{"active", true},
               {"host", host},
               {"login", signIn->user},
               {"gitProtocol", "https"},
               {"tokenSource", signIn->tokenInRecord ? "oauth_token" : "keyring"},
               {"state", signIn->token ? "success" : "error"}};
    if (auto state = controls.find("state"); state != controls.end())
        entry["state"] = state->second;
    if (auto source = controls.find("token-source"); source != controls.end())
        entry["tokenSource"] = source->second;
    Json answer{{"hosts", {{std::string(host), Json::array({entry})}}}};
    writeOut(answer.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n");
    return 0;
}

// Waits for the browser's hand-over file to be complete, as a real login waits for the user.
std::optional<Fields> awaitBrowser(const Invocation& invocation) {
    std::string path = invocation.configDirectory + "/standin-browser";
    int watch = inotify_init1(IN_CLOEXEC);
    if (watch >= 0)
        inotify_add_watch(watch, invocation.configDirectory.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
    double wait = secondsOf(invocation.controls, "wait").value_or(defaultBrowserWait);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(wait);
    std::optional<Fields> received;
    for (;;) {
        if (auto text = readFile(path)) {
            received = parseLines(*text);
            unlink(path.c_str());
            break;
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (watch < 0 || left.count() <= 0)
            break;
        pollfd ready{watch, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(std::min<long long>(left.count(), 60'000))) > 0) {
            char events[4096];
            (void)!read(watch, events, sizeof events);
        }
    }
    if (watch >= 0)
        close(watch);
    return received;
}

int logIn(const Invocation& invocation) {
    std::fputs("! First copy your one-time code: 0000-0000\nOpen this URL to continue in your web browser: "
               "https://github.com/login/device\n",
               stderr);
    auto received = awaitBrowser(invocation);
    if (!received || (*received)["user"].empty() || (*received)["token"].empty())
        return 1;
    std::string user = (*received)["user"];
    std::string token = (*received)["token"];
    std::string account = user + ":" + randomUuidText();
    std::string record = "user=" + user + "\naccount=" + account + "\n";
    // Like the real CLI, a keychain that refuses the token leaves it in the configuration instead.
    if (keychainAdd({std::string(tokenService), account}, token) != KeychainStatus::success)
        record += "token=" + token + "\n";
    if (!writeFile(invocation.configDirectory + "/standin-hosts", record))
        return 1;
    std::fprintf(stderr, "✓ Logged in as %s\n", user.c_str());
    return 0;
}

std::string readInput() {
    std::string input;
    char chunk[4096];
    for (;;) {
        ssize_t count = read(STDIN_FILENO, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0 || input.size() > 65536)
            return input;
        input.append(chunk, static_cast<std::size_t>(count));
    }
}

int handOutCredential(const Invocation& invocation, const std::string& input) {
    auto request = parseLines(input);
    if (request["protocol"] != "https" || (request["host"] != host && request["host"] != gistHost))
        return 1;
    auto signIn = readSignIn(invocation.configDirectory);
    if (!signIn || !signIn->token)
        return 1;
    writeOut("protocol=https\nhost=" + request["host"] + "\nusername=" + signIn->user +
             "\npassword=" + *signIn->token + "\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    auto command = commandOf(arguments);
    if (!command) {
        std::fputs("gh stand-in: unknown command\n", stderr);
        return 2;
    }
    const char* configDirectory = std::getenv("GH_CONFIG_DIR");
    if (configDirectory == nullptr || configDirectory[0] != '/') {
        std::fputs("gh stand-in: GH_CONFIG_DIR must be an absolute path\n", stderr);
        return 1;
    }
    Invocation invocation{*command, configDirectory, controlsFor(configDirectory, *command)};
    recordCall(invocation);
    std::string input;
    if (*command == Command::credential) {
        input = readInput();
        if (access((invocation.configDirectory + "/standin-calls").c_str(), F_OK) == 0)
            writeFile(invocation.configDirectory + "/standin-credential-input", input);
    }
    if (invocation.controls["ignore-term"] == "1")
        std::signal(SIGTERM, SIG_IGN);
    if (auto delay = secondsOf(invocation.controls, "delay"))
        pause(*delay);
    if (answeredByControls(invocation))
        return static_cast<int>(numberOf(invocation.controls, "exit").value_or(0));
    switch (*command) {
    case Command::status:
        return reportStatus(invocation);
    case Command::login:
        return logIn(invocation);
    case Command::credential:
        return handOutCredential(invocation, input);
    }
    return 2;
}

#if defined(__SANITIZE_ADDRESS__)
// The Secret Service client keeps its allocations until the process ends; in the sanitizer build that
// must not turn every run into a failure.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}
#endif
