// Stands in for NSFileHandle's ownership of a descriptor: closed once, when its last owner lets go.
#pragma once

#include <unistd.h>
#include <utility>

class OwnedDescriptor {
public:
    OwnedDescriptor() = default;
    explicit OwnedDescriptor(int fd) : fd(fd) {}
    OwnedDescriptor(OwnedDescriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    OwnedDescriptor& operator=(OwnedDescriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd = std::exchange(other.fd, -1);
        }
        return *this;
    }
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
    ~OwnedDescriptor() { reset(); }

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    void reset() {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

private:
    int fd = -1;
};
