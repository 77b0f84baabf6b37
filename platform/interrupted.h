// System calls that a signal may interrupt before they did anything.
#pragma once

#include <cerrno>

// Calls `call` again for as long as it fails with EINTR, and gives its first other result.
template <typename Call> auto retryingInterrupted(Call call) {
    for (;;) {
        auto result = call();
        if (result >= 0 || errno != EINTR)
            return result;
    }
}
