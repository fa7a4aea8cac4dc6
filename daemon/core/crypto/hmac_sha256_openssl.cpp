// SPDX-License-Identifier: MIT
// HMAC-SHA256 from OpenSSL's libcrypto (the Apple build uses CommonCrypto instead).
#include "hmac_sha256.h"

#include <cstdlib>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace pointrelay::crypto {

Sha256Digest hmacSha256(std::span<const uint8_t> key,
                        std::initializer_list<std::span<const uint8_t>> parts) {
    struct MacDeleter {
        void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
        void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
    };
    // Fetching the algorithm is the expensive part; do it once per process.
    static const std::unique_ptr<EVP_MAC, MacDeleter> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    std::unique_ptr<EVP_MAC_CTX, MacDeleter> ctx(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr);
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
    Sha256Digest out{};
    size_t outLen = 0;
    if (EVP_MAC_init(ctx.get(), keyData, key.size(), params) != 1)
        std::abort();
    for (const auto& part : parts) {
        if (!part.empty() && EVP_MAC_update(ctx.get(), part.data(), part.size()) != 1)
            std::abort();
    }
    if (EVP_MAC_final(ctx.get(), out.data(), &outLen, out.size()) != 1 || outLen != out.size())
        std::abort();
    return out;
}

void releaseThreadState() {
    OPENSSL_thread_stop();
}

} // namespace pointrelay::crypto
