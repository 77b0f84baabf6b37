// The GitHub CLI's sign-in state, apart from the integration, so that the helper's program can spell it
// without the integration's declarations.
#pragma once

// Signed in with the token in the keychain; not signed in; signed in with the token kept elsewhere; no
// usable CLI or configuration directory; the state could not be read.
enum class GitHubState { connected, notConnected, secureStorageRequired, componentMissing, unavailable };
