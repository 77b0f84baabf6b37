// Stands in for the care macOS's keychain buffers take with secrets: memory that is overwritten before it
// is given back, so a record value or a token does not linger in freed memory or reach a core file.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

// Overwrites the bytes in a way the compiler may not leave out as a dead store. Defined here, so that a
// plugin handing back wiped buffers needs nothing linked in for it.
inline void wipe(void* bytes, std::size_t size) {
    if (bytes != nullptr)
        explicit_bzero(bytes, size);
}

// Wipes every block before freeing it, including the ones a growing string leaves behind.
template <typename T> struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <typename U> WipingAllocator(const WipingAllocator<U>&) {}
    T* allocate(std::size_t count) { return std::allocator<T>().allocate(count); }
    void deallocate(T* block, std::size_t count) {
        wipe(block, count * sizeof(T));
        std::allocator<T>().deallocate(block, count);
    }
    friend bool operator==(const WipingAllocator&, const WipingAllocator&) { return true; }
};

// A string whose every block is wiped when released. Its short contents live inside the string itself,
// so whoever keeps a secret in one for long holds it in a WipedBuffer.
using WipedString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

// Bytes that are wiped when released. The destructor also wipes short contents, which the string keeps
// inside itself rather than in an allocated block.
class WipedBuffer {
public:
    WipedBuffer() = default;
    template <typename Text>
    requires std::convertible_to<const Text&, std::string_view> WipedBuffer(const Text& bytes)
        : text(std::string_view(bytes)) {}
    // Takes the string's block over without a copy. What it held inside itself is wiped there.
    explicit WipedBuffer(WipedString&& bytes) noexcept : text(std::move(bytes)) {
        wipe(bytes.data(), bytes.capacity());
    }
    WipedBuffer(const WipedBuffer&) = default;
    WipedBuffer(WipedBuffer&&) noexcept = default;
    // The earlier contents are wiped first: short ones would stay inside the string when it takes over
    // another's block.
    WipedBuffer& operator=(const WipedBuffer& other) {
        if (this != &other) {
            wipe(text.data(), text.capacity());
            text = other.text;
        }
        return *this;
    }
    WipedBuffer& operator=(WipedBuffer&& other) noexcept {
        if (this != &other) {
            wipe(text.data(), text.capacity());
            text = std::move(other.text);
        }
        return *this;
    }
    ~WipedBuffer() { wipe(text.data(), text.capacity()); }

    std::string_view view() const { return {text.data(), text.size()}; }
    operator std::string_view() const { return view(); }
    const char* data() const { return text.data(); }
    std::size_t size() const { return text.size(); }
    bool empty() const { return text.empty(); }
    void reserve(std::size_t size) { text.reserve(size); }
    void append(std::string_view bytes) { text.append(bytes); }
    void append(char byte) { text.push_back(byte); }
    void append(const char* bytes, std::size_t size) { text.append(bytes, size); }

    friend bool operator==(const WipedBuffer& buffer, std::string_view bytes) {
        return buffer.view() == bytes;
    }

private:
    WipedString text;
};

// Turns core files off for this process and what it starts: a crash must not write its secrets to disk,
// least of all into the working folder, which under git is the user's work tree. The process stays
// readable to its owner's inspectors, which marking it undumpable would prevent.
void disableCoreFiles();
