#include "platform/digest.h"

#include <openssl/evp.h>
#include <sys/mman.h>

namespace {

std::string hexText(const unsigned char* digest, unsigned length) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned i = 0; i < length; ++i) {
        text.push_back(digits[digest[i] >> 4]);
        text.push_back(digits[digest[i] & 0xf]);
    }
    return text;
}

std::optional<std::string> sha256HexOf(const void* data, std::size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    return hexText(digest, length);
}

} // namespace

std::optional<std::string> sha256HexOfFile(int fd, std::uint64_t size) {
    if (size == 0)
        return sha256HexOf("", 0);
    if (size > SIZE_MAX)
        return std::nullopt;
    // Populating the mapping up front costs one pass through the page tables instead of a fault per
    // page while hashing.
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (mapped == MAP_FAILED)
        return std::nullopt;
    madvise(mapped, size, MADV_SEQUENTIAL);
    auto digest = sha256HexOf(mapped, size);
    munmap(mapped, size);
    return digest;
}

std::string sha256Hex(std::string_view bytes) {
    return sha256HexOf(bytes.data(), bytes.size()).value_or(std::string());
}
