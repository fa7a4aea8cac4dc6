// SPDX-License-Identifier: MIT
// HMAC-SHA256 from OpenSSL's libcrypto (the Apple build uses CommonCrypto instead).
#include "hmac_sha256.h"

#include <cstdlib>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

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
    MacContext keyed;
};

HmacSha256Key::HmacSha256Key(std::span<const uint8_t> key)
    : m_state(std::make_unique<State>(State{keyedContext(key)})) {}

HmacSha256Key::~HmacSha256Key() = default;

Sha256Digest HmacSha256Key::mac(std::initializer_list<std::span<const uint8_t>> parts) const {
    // A copy of the keyed context: the key's blocks are not hashed again.
    const MacContext ctx(EVP_MAC_CTX_dup(m_state->keyed.get()));
    if (!ctx)
        std::abort();
    return finish(ctx.get(), parts);
}

void releaseThreadState() {
    OPENSSL_thread_stop();
}

} // namespace pointrelay::crypto
