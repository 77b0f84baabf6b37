// credward: git's credential helper for GitHub over HTTPS. It answers "get" with the user name and
// token of the shipped GitHub CLI's sign-in, and tells git to stop, with a marker line on standard
// error, when there is no usable sign-in. It stores nothing and writes no files.
#pragma once

#include "github/github.h"
#include "platform/wiped.h"

#include <string>
#include <string_view>

// Exit statuses: answered (or not asked to answer), refused, malformed.
inline constexpr int answered = 0;
inline constexpr int refused = 1;
inline constexpr int malformed = 2;

// What one run says: each text is written in a single write, standard error first, then the run ends
// with `status`. The output may carry the token, so it is wiped when released.
struct CredwardAnswer {
    int status = malformed;
    WipedBuffer standardOutput;
    std::string standardError;
};

// Serves git's "get" request, whose bytes are `input`, with the sign-in of the GitHub CLI that `cli` reaches.
CredwardAnswer answerGetRequest(std::string_view input, const GitHubCli& cli);
