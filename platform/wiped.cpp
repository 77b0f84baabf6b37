#include "platform/wiped.h"

#include <sys/resource.h>

void disableCoreFiles() {
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}
