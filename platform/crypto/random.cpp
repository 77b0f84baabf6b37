#include "platform/crypto/crypto.h"
#include "platform/interrupted.h"

#include <sys/random.h>

bool randomBytes(unsigned char* bytes, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        ssize_t count = retryingInterrupted([&] { return getrandom(bytes + filled, size - filled, 0); });
        if (count <= 0)
            return false;
        filled += static_cast<std::size_t>(count);
    }
    return true;
}

std::string randomUuidText() {
    unsigned char bytes[16];
    if (!randomBytes(bytes, sizeof bytes))
        return {};
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back('-');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0xf]);
    }
    return text;
}
