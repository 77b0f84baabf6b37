#include "platform/session_bus.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

bool sessionBusConfigured() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && address[0] != '\0')
        return std::strncmp(address, "autolaunch:", 11) != 0;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || runtime[0] != '/')
        return false;
    struct stat status {};
    std::string socket = std::string(runtime) + "/bus";
    return stat(socket.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}
