// Serving git's "get": the request's checks, the sign-in state, the GitHub CLI's credential command and
// the checks of its answer.
#include "credward/credward.h"

#include "platform/text.h"

#include <optional>

namespace {

constexpr std::size_t valueLimit = 4096;
constexpr std::size_t userNameLimit = 100;

// Keys and values are views into the bytes they were parsed from, so the token is never copied out of
// the wiped buffer that holds the GitHub CLI's answer.
using Attributes = std::map<std::string_view, std::string_view>;

// Valid UTF-8 without carriage returns or NULs, so lines end in a bare line feed. In UTF-8 neither byte
// occurs inside another character.
bool isCleanText(std::string_view bytes) {
    return isUtf8(bytes) && bytes.find_first_of(std::string_view("\r\0", 2)) == std::string_view::npos;
}

bool isAcceptedKey(std::string_view key) {
    return key == "protocol" || key == "host" || key == "username" || key == "path";
}

enum class Lines { request, reply };

// key=value lines, each key once. git's request ends at its first empty line, and of its keys only the
// four this helper reads are kept, but only after their values passed the length check. Every line of
// the GitHub CLI's answer is read.
std::optional<Attributes> parseAttributes(std::string_view text, Lines lines) {
    Attributes attributes;
    while (!text.empty()) {
        auto line = takeLine(text);
        if (line.empty() && lines == Lines::request)
            break;
        if (line.empty())
            continue;
        auto equals = line.find('=');
        if (equals == std::string_view::npos)
            return std::nullopt;
        auto key = line.substr(0, equals);
        auto value = line.substr(equals + 1);
        // A URL would carry host and path in one value that could disagree with the checked ones.
        if (lines == Lines::request && (key == "url" || value.size() > valueLimit))
            return std::nullopt;
        if (lines == Lines::request && !isAcceptedKey(key))
            continue;
        if (!attributes.emplace(key, value).second)
            return std::nullopt;
    }
    return attributes;
}

std::string_view valueOf(const Attributes& attributes, std::string_view key) {
    auto found = attributes.find(key);
    return found == attributes.end() ? std::string_view() : found->second;
}

// The two hosts served. A host is one of them only as a whole name: notgithub.com and
// github.com.evil are other hosts, whoever answers for them.
enum class ServedHost { web, gist };

std::optional<ServedHost> servedHost(std::string_view name) {
    if (name == gitHubHost)
        return ServedHost::web;
    if (name == gitHubGistHost)
        return ServedHost::gist;
    return std::nullopt;
}

std::string_view nameOf(ServedHost host) {
    return host == ServedHost::gist ? gitHubGistHost : gitHubHost;
}

// The host of a request for GitHub over HTTPS; nothing for any other request.
std::optional<ServedHost> gitHubHostOverHttps(const Attributes& request) {
    auto protocol = request.find("protocol");
    auto host = request.find("host");
    if (protocol == request.end() || protocol->second != "https" || host == request.end())
        return std::nullopt;
    return servedHost(host->second);
}

bool isUserName(std::string_view name) {
    if (name.empty() || name.size() > userNameLimit)
        return false;
    for (char c : name) {
        // "_" joins a managed account's handle to its enterprise's short code, as in octocat_acme.
        bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_';
        if (!allowed)
            return false;
    }
    return true;
}

const char* markerFor(GitHubState state) {
    if (state == GitHubState::componentMissing)
        return "DOVREL_GITHUB_COMPONENT_UNAVAILABLE\n";
    if (state == GitHubState::notConnected)
        return "DOVREL_GITHUB_AUTH_REQUIRED\n";
    return "DOVREL_GITHUB_AUTH_UNAVAILABLE\n";
}

std::string credentialQuery(const Attributes& request, ServedHost host) {
    std::string query = "protocol=https\nhost=" + std::string(nameOf(host));
    if (auto user = valueOf(request, "username"); !user.empty())
        query += "\nusername=" + std::string(user);
    return query + "\n\n";
}

bool isUsableReply(const Attributes& reply, ServedHost host) {
    auto has = [&](std::string_view key) {
        return reply.find(key) != reply.end();
    };
    return has("protocol") && valueOf(reply, "protocol") == "https" && has("host") &&
           servedHost(valueOf(reply, "host")) == host && !valueOf(reply, "username").empty() &&
           !valueOf(reply, "password").empty();
}

} // namespace

CredwardAnswer answerGetRequest(std::string_view input, const GitHubCli& cli) {
    if (!isCleanText(input))
        return {malformed};
    auto request = parseAttributes(input, Lines::request);
    if (!request)
        return {malformed};
    auto host = gitHubHostOverHttps(*request);
    if (!host)
        return {refused};
    if (auto user = valueOf(*request, "username"); !user.empty() && !isUserName(user))
        return {malformed};

    // No usable sign-in: git is told to stop instead of prompting or asking further helpers.
    if (auto state = cli.authenticationState(); state != GitHubState::connected)
        return {refused, "quit=true\n\n", markerFor(state)};

    auto result = cli.run({"auth", "git-credential", "get"}, credentialQuery(*request, *host), 15.0);
    if (!result.succeeded() || !isCleanText(result.bytes))
        return {refused};
    auto reply = parseAttributes(result.bytes, Lines::reply);
    if (!reply || !isUsableReply(*reply, *host))
        return {refused};
    auto user = valueOf(*reply, "username");
    auto token = valueOf(*reply, "password");
    CredwardAnswer answer{answered};
    // Sized once, so that no copy of the token is left behind by the buffer's growth.
    answer.standardOutput.reserve(user.size() + token.size() + 21);
    for (std::string_view piece : {std::string_view("username="), user, std::string_view("\npassword="),
                                   token, std::string_view("\n\n")})
        answer.standardOutput.append(piece);
    return answer;
}
