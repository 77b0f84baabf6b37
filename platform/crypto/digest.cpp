#include "platform/crypto/crypto.h"
#include "platform/interrupted.h"
#include "platform/text.h"

// The one-call SHA-256 functions run the same code as EVP's, with the processor's SHA instructions,
// but without the provider machinery that EVP sets up on first use (reading the configuration file,
// loading the default provider, fetching the algorithm): 0.4 to 0.7 ms of every run that hashes.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// The file is mapped a window at a time, so that a large CLI adds little to the resident memory of the
// run, and each window is hashed in one call. The pages come in by the fault handler, which maps up to
// a whole large folio of the page cache at once; MAP_POPULATE would instead look every page up again
// after faulting it in, which cost a tenth of the hash's time. Reading into a buffer costs as much as
// mapping (the copy takes what the faults and the unmapping take), and so do windows from 1 to 64 MiB
// and madvise's hints (sequential, will-need, huge pages): the kernel's handing over of the page cache,
// 5 to 10 % over the processor's own hashing speed, is the floor.
constexpr std::size_t windowSize = 4 << 20;

bool hashWindow(SHA256_CTX& context, int fd, std::uint64_t offset, std::size_t size) {
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(offset));
    if (mapped == MAP_FAILED)
        return false;
    SHA256_Update(&context, mapped, size);
    munmap(mapped, size);
    return true;
}

// A small file is read instead: for the packaged stand-in's hundred kilobytes, copying costs less than
// setting up and tearing down a mapping.
constexpr std::size_t readLimit = 256 << 10;
constexpr std::size_t readPiece = 64 << 10;

bool hashByReading(SHA256_CTX& context, int fd, std::uint64_t size) {
    unsigned char piece[readPiece];
    std::uint64_t offset = 0;
    while (offset < size) {
        auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(readPiece, size - offset));
        ssize_t count =
            retryingInterrupted([&] { return pread(fd, piece, wanted, static_cast<off_t>(offset)); });
        if (count <= 0)
            return false; // shorter than it was said to be
        SHA256_Update(&context, piece, static_cast<std::size_t>(count));
        offset += static_cast<std::uint64_t>(count);
    }
    return true;
}

std::string finalHex(SHA256_CTX& context) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256_Final(digest, &context);
    return lowerHex(digest, sizeof digest);
}

} // namespace

std::optional<std::string> sha256HexOfFile(int fd, std::uint64_t size) {
    SHA256_CTX context;
    SHA256_Init(&context);
    if (size <= readLimit)
        return hashByReading(context, fd, size) ? std::optional(finalHex(context)) : std::nullopt;
    for (std::uint64_t offset = 0; offset < size; offset += windowSize) {
        auto length = static_cast<std::size_t>(std::min<std::uint64_t>(windowSize, size - offset));
        if (!hashWindow(context, fd, offset, length))
            return std::nullopt;
    }
    return finalHex(context);
}
