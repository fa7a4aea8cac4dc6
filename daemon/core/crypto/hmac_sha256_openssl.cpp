// SPDX-License-Identifier: MIT
// HMAC-SHA256 from OpenSSL's libcrypto (the Apple build uses CommonCrypto instead).
// A paired key's HMAC starts from the SHA-256 states after its two padded key blocks, copied
// as plain structures: libcrypto's EVP contexts cost a dozen allocations per copy, which a
// handshake tried against 64 keys would pay 64 times. Those states are only reachable through
// the SHA256_* functions that OpenSSL 3 marks as deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "hmac_sha256.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

namespace pointrelay::crypto {

namespace {

struct MacDeleter {
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
    void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};
using MacContext = std::unique_ptr<EVP_MAC_CTX, MacDeleter>;

// A context keyed with `key`, ready for its message.
MacContext keyedContext(std::span<const uint8_t> key) {
    // Fetching the algorithm is the expensive part; do it once per process.
    static const std::unique_ptr<EVP_MAC, MacDeleter> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    MacContext ctx(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr);
    if (!ctx)
        std::abort(); // libcrypto without HMAC: nothing in the daemon can work

    char digestName[] = "SHA256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string("digest", digestName, 0),
        OSSL_PARAM_construct_end(),
    };
    // An empty key is legal for HMAC; OpenSSL wants a non-null pointer for it.
    static const uint8_t kEmpty = 0;
    const uint8_t* keyData = key.empty() ? &kEmpty : key.data();
    if (EVP_MAC_init(ctx.get(), keyData, key.size(), params) != 1)
        std::abort();
    return ctx;
}

Sha256Digest finish(EVP_MAC_CTX* ctx, std::initializer_list<std::span<const uint8_t>> parts) {
    Sha256Digest out{};
    size_t outLen = 0;
    for (const auto& part : parts) {
        if (!part.empty() && EVP_MAC_update(ctx, part.data(), part.size()) != 1)
            std::abort();
    }
    if (EVP_MAC_final(ctx, out.data(), &outLen, out.size()) != 1 || outLen != out.size())
        std::abort();
    return out;
}

} // namespace

Sha256Digest hmacSha256(std::span<const uint8_t> key,
                        std::initializer_list<std::span<const uint8_t>> parts) {
    return finish(keyedContext(key).get(), parts);
}

struct HmacSha256Key::State {
    SHA256_CTX inner; // after the key block XOR 0x36
    SHA256_CTX outer; // after the key block XOR 0x5c
};

HmacSha256Key::HmacSha256Key(std::span<const uint8_t> key) : m_state(std::make_unique<State>()) {
    constexpr size_t kBlock = 64;
    uint8_t block[kBlock] = {}; // a longer key is hashed first (RFC 2104)
    if (key.size() > kBlock)
        SHA256(key.data(), key.size(), block);
    else if (!key.empty())
        std::memcpy(block, key.data(), key.size());
    uint8_t padded[kBlock];
    for (const auto& [ctx, pad] : {std::pair{&m_state->inner, 0x36}, {&m_state->outer, 0x5c}}) {
        for (size_t i = 0; i < kBlock; ++i)
            padded[i] = static_cast<uint8_t>(block[i] ^ pad);
        SHA256_Init(ctx);
        SHA256_Update(ctx, padded, kBlock);
    }
    OPENSSL_cleanse(block, sizeof block);
    OPENSSL_cleanse(padded, sizeof padded);
}

HmacSha256Key::~HmacSha256Key() {
    OPENSSL_cleanse(m_state.get(), sizeof *m_state);
}

Sha256Digest HmacSha256Key::mac(std::initializer_list<std::span<const uint8_t>> parts) const {
    SHA256_CTX ctx = m_state->inner;
    for (const auto& part : parts)
        SHA256_Update(&ctx, part.data(), part.size());
    Sha256Digest inner{};
    SHA256_Final(inner.data(), &ctx);
    ctx = m_state->outer;
    SHA256_Update(&ctx, inner.data(), inner.size());
    Sha256Digest out{};
    SHA256_Final(out.data(), &ctx);
    return out;
}

void releaseThreadState() {
    OPENSSL_thread_stop();
}

} // namespace pointrelay::crypto
