#include "helper/frame.h"

#include "helper/operations.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <unistd.h>

BoundedInput readBoundedInput(int fd, std::size_t limit) {
    BoundedInput input;
    // Left uninitialised: zero-filling it would cost page faults on every run, most of which read a few
    // bytes. What it held is wiped before it is freed.
    constexpr std::size_t chunkSize = 65536;
    auto chunk = std::make_unique_for_overwrite<char[]>(chunkSize);
    std::size_t used = 0;
    bool oversized = false;
    bool failed = false;
    for (;;) {
        ssize_t count = read(fd, chunk.get(), chunkSize);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            failed = true;
            break;
        }
        if (count == 0)
            break;
        used = std::max(used, static_cast<std::size_t>(count));
        if (oversized)
            continue;
        if (input.bytes.size() + static_cast<size_t>(count) > limit) {
            oversized = true;
            input.bytes = WipedBuffer();
            continue;
        }
        input.bytes.append(chunk.get(), static_cast<size_t>(count));
    }
    wipe(chunk.get(), used);
    if (failed)
        return {};
    input.complete = !oversized;
    return input;
}

std::optional<Json> parseJson(std::string_view bytes) {
    // The parser keeps its own stack instead of recursing, so nesting depth cannot exhaust ours.
    Json parsed = Json::parse(bytes.begin(), bytes.end(), nullptr, false, false);
    if (parsed.is_discarded())
        return std::nullopt;
    return parsed;
}

std::optional<std::string> stringMember(const Json& object, const char* name) {
    auto member = object.find(name);
    if (member == object.end() || !member->is_string())
        return std::nullopt;
    return member->get<std::string>();
}

namespace {

bool holdsOnlyOperationAndLanguage(const Json& request) {
    for (const auto& [name, value] : request.items()) {
        if (name != "operation" && name != "language")
            return false;
    }
    return true;
}

} // namespace

Reply answerRequest(std::string_view bytes) {
    auto request = parseJson(bytes);
    if (!request || !request->is_object())
        return failureReply();
    auto operation = stringMember(*request, "operation");
    if (!operation)
        return failureReply();
    if (*operation == "choose-folder")
        return chooseFolder(*request);
    if (*operation == "github-status" || *operation == "github-auth") {
        if (!holdsOnlyOperationAndLanguage(*request))
            return failureReply();
        return answerGitHubRequest(*operation == "github-auth" ? GitHubOperation::auth
                                                               : GitHubOperation::status);
    }
    if (*operation == "confirm-project-command")
        return confirmProjectCommand(*request);
    return answerCredentialRequest(*request, *operation);
}
