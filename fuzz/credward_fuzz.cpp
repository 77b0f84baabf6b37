// git's request and the GitHub CLI's answer, both from the input: credward may only ever answer with
// nothing, with "quit=true" beside one marker line, or with one user name and one token.
#include "credward/credward.h"
#include "fuzz/standins/standins.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

namespace {

// "username=U\npassword=P\n\n" with U and P single non-empty lines.
bool isCredentialAnswer(const std::string& text) {
    const std::string user = "username=", password = "\npassword=";
    if (!text.starts_with(user) || !text.ends_with("\n\n"))
        return false;
    auto passwordAt = text.find(password);
    if (passwordAt == std::string::npos || passwordAt == user.size())
        return false;
    auto name = text.substr(user.size(), passwordAt - user.size());
    auto token = text.substr(passwordAt + password.size(), text.size() - 2 - passwordAt - password.size());
    return !token.empty() && name.find('\n') == std::string::npos && token.find('\n') == std::string::npos;
}

bool isAllowed(const CredwardAnswer& answer) {
    static const std::set<std::string> markers{"DOVREL_GITHUB_AUTH_REQUIRED\n",
                                               "DOVREL_GITHUB_AUTH_UNAVAILABLE\n",
                                               "DOVREL_GITHUB_COMPONENT_UNAVAILABLE\n"};
    if (answer.standardOutput.empty())
        return answer.standardError.empty() && (answer.status == refused || answer.status == malformed);
    if (answer.standardOutput == "quit=true\n\n")
        return answer.status == refused && markers.contains(answer.standardError);
    return answer.status == answered && answer.standardError.empty() &&
           isCredentialAnswer(std::string(answer.standardOutput.view()));
}

} // namespace

// Input: one byte that picks the sign-in state and the CLI's status, then git's request, then a line
// "--\n", then the CLI's answer.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    auto split = text.find("--\n");
    std::string request = text.substr(0, split);
    std::string cliAnswer = split == std::string::npos ? std::string() : text.substr(split + 3);

    // Scenario numbers whose first state is "connected" reach the CLI run; the others stop git.
    unsigned pick = data[0];
    chooseGitHubScenario(pick % 2 == 0 ? 0 : pick);
    setGitHubCliAnswer(pick % 8 == 6 ? 1 : 0, cliAnswer);
    if (!isAllowed(answerGetRequest(request, gitHubCliStandin())))
        std::abort();
    return 0;
}
