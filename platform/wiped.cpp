#include "platform/wiped.h"

#include <cstring>
#include <sys/resource.h>

void wipe(void* bytes, std::size_t size) {
    if (bytes != nullptr)
        explicit_bzero(bytes, size);
}

void disableCoreFiles() {
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}
