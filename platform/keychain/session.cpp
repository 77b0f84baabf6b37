// The encrypted session that carries secrets between this process and the provider, by the Secret
// Service's "dh-ietf1024-sha256-aes128-cbc-pkcs7": Diffie-Hellman over the 1024-bit group of RFC 2409,
// its shared secret made into an AES-128 key by HKDF-SHA256 (no salt, no information), each secret sent
// AES-128-CBC with PKCS#7 padding under an IV of its own.
//
// Every public value and shared secret is its group's full 128 bytes: kwalletd refuses a shorter public
// value, reads one that begins with 0xff as another number (a sign byte, in its big-number library), and
// derives its key from the shared secret without leading zero bytes, where gnome-keyring and KeePassXC
// keep them. So a public value that begins with 0x00 or 0xff, or a shared secret that begins with 0x00
// (each one in 256), is never used: a key pair or a session is made again instead, which all three
// providers then read alike.
#include "platform/keychain/secret_service.h"

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/aes.h>
#include <openssl/bn.h>
#include <openssl/sha.h>

#include "platform/crypto/crypto.h"

#include <array>

namespace secretservice {

namespace {

constexpr const char* algorithm = "dh-ietf1024-sha256-aes128-cbc-pkcs7";
constexpr std::size_t groupBytes = 128;
// A private exponent of 256 bits is more than the group's own strength asks for, and a quarter of the
// work of a full-length one.
constexpr std::size_t privateBytes = 32;
constexpr std::size_t blockBytes = 16;
constexpr int openings = 4;

using Bytes = SecretBytes;

struct Numbers {
    BN_CTX* context = BN_CTX_secure_new();
    BIGNUM* prime = BN_get_rfc2409_prime_1024(nullptr);
    BIGNUM* exponent = BN_secure_new();
    BIGNUM* result = BN_secure_new();
    Numbers() = default;
    Numbers(const Numbers&) = delete;
    Numbers& operator=(const Numbers&) = delete;
    ~Numbers() {
        BN_clear_free(result);
        BN_clear_free(exponent);
        BN_free(prime);
        BN_CTX_free(context);
    }
    bool made() const { return context && prime && exponent && result; }
};

// base^exponent mod the group's prime, as its 128 bytes; empty when it begins with a byte that a provider
// would read otherwise.
Bytes power(Numbers& numbers, const BIGNUM* base, bool isPublic) {
    Bytes bytes(groupBytes);
    if (!BN_mod_exp_mont_consttime(numbers.result, base, numbers.exponent, numbers.prime, numbers.context,
                                   nullptr) ||
        BN_bn2binpad(numbers.result, bytes.data(), groupBytes) != static_cast<int>(groupBytes) ||
        bytes[0] == 0 || (isPublic && bytes[0] == 0xff))
        return {};
    return bytes;
}

Bytes publicValue(const Bytes& privateKey) {
    Numbers numbers;
    BIGNUM* generator = BN_new();
    Bytes value;
    if (numbers.made() && generator != nullptr && BN_set_word(generator, 2) &&
        BN_bin2bn(privateKey.data(), static_cast<int>(privateKey.size()), numbers.exponent) != nullptr)
        value = power(numbers, generator, true);
    BN_free(generator);
    return value;
}

Bytes sharedSecret(const Bytes& privateKey, const Bytes& peer) {
    Numbers numbers;
    BIGNUM* theirs = BN_bin2bn(peer.data(), static_cast<int>(peer.size()), nullptr);
    Bytes secret;
    // A peer value outside 2 .. p-2 would give away the secret or fix it.
    BIGNUM* highest = numbers.prime != nullptr ? BN_dup(numbers.prime) : nullptr;
    if (numbers.made() && theirs != nullptr && highest != nullptr && BN_sub_word(highest, 1) &&
        BN_cmp(theirs, BN_value_one()) > 0 && BN_cmp(theirs, highest) < 0 &&
        BN_bin2bn(privateKey.data(), static_cast<int>(privateKey.size()), numbers.exponent) != nullptr)
        secret = power(numbers, theirs, false);
    BN_free(highest);
    BN_free(theirs);
    return secret;
}

std::array<unsigned char, SHA256_DIGEST_LENGTH> hmacSha256(const unsigned char* key, std::size_t keySize,
                                                           const unsigned char* message, std::size_t size) {
    std::array<unsigned char, SHA256_CBLOCK> inner{}, outer{};
    std::copy(key, key + keySize, inner.begin());
    std::copy(key, key + keySize, outer.begin());
    for (std::size_t index = 0; index < SHA256_CBLOCK; ++index) {
        inner[index] ^= 0x36;
        outer[index] ^= 0x5c;
    }
    std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
    SHA256_CTX context;
    SHA256_Init(&context);
    SHA256_Update(&context, inner.data(), inner.size());
    SHA256_Update(&context, message, size);
    SHA256_Final(digest.data(), &context);
    SHA256_Init(&context);
    SHA256_Update(&context, outer.data(), outer.size());
    SHA256_Update(&context, digest.data(), digest.size());
    SHA256_Final(digest.data(), &context);
    wipe(inner.data(), inner.size());
    wipe(outer.data(), outer.size());
    wipe(&context, sizeof context);
    return digest;
}

// HKDF-SHA256 of the shared secret, with no salt and no information, to the 16 bytes of an AES-128 key.
Bytes sessionKey(const Bytes& secret) {
    const std::array<unsigned char, SHA256_DIGEST_LENGTH> noSalt{};
    auto pseudorandom = hmacSha256(noSalt.data(), noSalt.size(), secret.data(), secret.size());
    const unsigned char first = 1;
    auto expanded = hmacSha256(pseudorandom.data(), pseudorandom.size(), &first, 1);
    Bytes key(expanded.begin(), expanded.begin() + blockBytes);
    wipe(pseudorandom.data(), pseudorandom.size());
    wipe(expanded.data(), expanded.size());
    return key;
}

// A key pair whose public value fills its 128 bytes, and the request for a session with it.
void askForSession(Call& call) {
    call.sessionAsked = std::make_unique<Sent>(call);
    Bytes value;
    for (int attempt = 0; attempt < openings && value.empty(); ++attempt) {
        call.sessionPrivate.assign(privateBytes, 0);
        if (!randomBytes(call.sessionPrivate.data(), privateBytes))
            return;
        value = publicValue(call.sessionPrivate);
    }
    if (value.empty())
        return;
    GVariant* input = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, value.data(), value.size(), 1);
    sendToService(*call.sessionAsked, servicePath, serviceInterface, "OpenSession",
                  g_variant_new("(sv)", algorithm, input), G_VARIANT_TYPE("(vo)"));
}

Bytes bytesOf(GVariant* value) {
    gsize size = 0;
    const void* bytes = g_variant_is_of_type(value, G_VARIANT_TYPE_BYTESTRING)
                            ? g_variant_get_fixed_array(value, &size, 1)
                            : nullptr;
    const auto* first = static_cast<const unsigned char*>(bytes);
    return bytes == nullptr ? Bytes{} : Bytes(first, first + size);
}

// The answer to the request for a session: its key and path, or false when it could not be had. A shared
// secret that begins with a zero byte leaves the session unused, for another to be opened.
bool takeSession(Call& call, bool& again) {
    again = false;
    auto asked = std::move(call.sessionAsked);
    if (!asked->sent)
        return false;
    GError* error = nullptr;
    GVariant* reply = awaitAnswer(*asked, &error);
    if (consumeError(error) != KeychainStatus::success)
        return false;
    GVariant* output = nullptr;
    const char* path = nullptr;
    g_variant_get(reply, "(v&o)", &output, &path);
    auto secret = sharedSecret(call.sessionPrivate, bytesOf(output));
    g_variant_unref(output);
    wipe(call.sessionPrivate.data(), call.sessionPrivate.size());
    again = secret.empty();
    if (!again) {
        call.sessionKey = sessionKey(secret);
        call.sessionPath = path;
        wipe(secret.data(), secret.size());
    }
    g_variant_unref(reply);
    return !again;
}

} // namespace

void requestSession(Call& call) {
    if (call.sessionAsked == nullptr && call.sessionPath.empty())
        askForSession(call);
}

bool openSession(Call& call) {
    for (int opening = 0; opening < openings && call.sessionPath.empty(); ++opening) {
        requestSession(call);
        bool again = false;
        if (!takeSession(call, again) && !again)
            return false;
    }
    return !call.sessionPath.empty();
}

GVariant* encodedSecret(Call& call, std::string_view data) {
    std::array<unsigned char, blockBytes> iv{};
    if (call.sessionKey.size() != blockBytes || !randomBytes(iv.data(), iv.size()))
        return nullptr;
    std::size_t padding = blockBytes - data.size() % blockBytes;
    Bytes plain(data.begin(), data.end());
    plain.insert(plain.end(), padding, static_cast<unsigned char>(padding));
    Bytes cipher(plain.size());
    AES_KEY key;
    AES_set_encrypt_key(call.sessionKey.data(), 128, &key);
    auto chained = iv;
    AES_cbc_encrypt(plain.data(), cipher.data(), plain.size(), &key, chained.data(), AES_ENCRYPT);
    wipe(&key, sizeof key);
    wipe(plain.data(), plain.size());
    return g_variant_new("(o@ay@ays)", call.sessionPath.c_str(),
                         g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, iv.data(), iv.size(), 1),
                         g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, cipher.data(), cipher.size(), 1),
                         storedContentType);
}

std::optional<WipedBuffer> decodedSecret(Call& call, GVariant* secret) {
    if (call.sessionKey.size() != blockBytes || !g_variant_is_of_type(secret, G_VARIANT_TYPE("(oayays)")))
        return std::nullopt;
    GVariant* ivValue = g_variant_get_child_value(secret, 1);
    GVariant* cipherValue = g_variant_get_child_value(secret, 2);
    Bytes iv = bytesOf(ivValue), cipher = bytesOf(cipherValue);
    g_variant_unref(ivValue);
    g_variant_unref(cipherValue);
    if (iv.size() != blockBytes || cipher.empty() || cipher.size() % blockBytes != 0)
        return std::nullopt;
    Bytes plain(cipher.size());
    AES_KEY key;
    AES_set_decrypt_key(call.sessionKey.data(), 128, &key);
    AES_cbc_encrypt(cipher.data(), plain.data(), cipher.size(), &key, iv.data(), AES_DECRYPT);
    wipe(&key, sizeof key);
    std::size_t padding = plain.back();
    bool padded = padding >= 1 && padding <= blockBytes &&
                  std::all_of(plain.end() - static_cast<long>(padding), plain.end(),
                              [&](unsigned char byte) { return byte == padding; });
    std::optional<WipedBuffer> data;
    if (padded)
        data = WipedBuffer(
            std::string_view(reinterpret_cast<const char*>(plain.data()), plain.size() - padding));
    wipe(plain.data(), plain.size());
    return data;
}

} // namespace secretservice
