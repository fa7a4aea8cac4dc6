// SPDX-License-Identifier: MIT
// Poly1305's official vectors (with the reduction edges that random inputs never reach), and
// the AEAD, ChaCha20 with it, against OpenSSL's; a flipped bit keeps a frame shut. (HMAC-SHA256
// is OpenSSL's; the handshake vectors check our use of it, and a prepared key must agree.)
#include "core/crypto/aead.h"
#include "core/crypto/hmac_sha256.h"
#include "support/hex.h"

#include <gtest/gtest.h>
#include <memory>
#include <openssl/evp.h>
#include <random>

namespace pointrelay::crypto {
namespace {

using namespace test;

TEST(Crypto, Poly1305MatchesTheOfficialVectors) {
    // RFC 8439 2.5.2 and the A.3 cases whose carries and final reductions random data misses:
    // key (r, s), message, tag; the zero bytes that end a key or a tag are left off.
    const std::tuple<const char*, const char*, const char*> poly[] = {
        {"85d6be7857556d337f4452fe42d506a80103808afb0db2fd4abff6af4149f51b",
         "43727970746f6772617068696320466f72756d2052657365617263682047726f7570",
         "a8061dc1305136c6c22b8baf0c0127a9"},
        {"02000000000000000000000000000000ffffffffffffffffffffffffffffffff",
         "02000000000000000000000000000000", "03"},
        {"01",
         "ffffffffffffffffffffffffffffffff f0ffffffffffffffffffffffffffffff "
         "11000000000000000000000000000000",
         "05"},
        {"01",
         "ffffffffffffffffffffffffffffffff fbfefefefefefefefefefefefefefefe "
         "01010101010101010101010101010101",
         ""},
        {"02", "fdffffffffffffffffffffffffffffff", "faffffffffffffffffffffffffffffff"},
        {"010000000000000004",
         "e33594d7505e43b90000000000000000 3394d7505e4379cd0100000000000000 "
         "00000000000000000000000000000000",
         "13"},
    };
    for (const auto& [key, message, tag] : poly)
        EXPECT_EQ(poly1305(hexArray<32>(key), hex(message)), hexArray<16>(tag)) << message;
}

// A key made ready once gives the same MAC as the whole computation, for keys shorter and
// longer than SHA-256's block and messages in parts, however often it is used.
TEST(Crypto, PreparedHmacKeysMatchTheWholeComputation) {
    for (const size_t length : {0, 16, 64, 65, 100}) {
        const std::string key(length, static_cast<char>('a' + length % 26));
        const HmacSha256Key prepared(asBytes(key));
        for (const std::string_view message : {"HELLO", "a longer message, cut in two parts"})
            for (int use = 0; use < 2; ++use)
                EXPECT_EQ(prepared.mac({asBytes(message.substr(0, 3)), asBytes(message.substr(3))}),
                          hmacSha256(asBytes(key), {asBytes(message)}))
                    << length;
    }
}

TEST(Crypto, AeadAgreesWithOpenSslAndRefusesTamperedCopies) {
    std::mt19937 random(2024);
    const auto randomBytes = [&](size_t n) {
        Bytes out(n);
        std::ranges::generate(out, [&] { return uint8_t(random()); });
        return out;
    };
    for (int round = 0; round < 200; ++round) {
        ChaChaKey key;
        ChaChaNonce nonce;
        std::ranges::generate(key, std::ref(random));
        std::ranges::generate(nonce, std::ref(random));
        const Bytes aad = randomBytes(random() % 40), plaintext = randomBytes(random() % 300);
        std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                            EVP_CIPHER_CTX_free);
        int n = 0;
        Bytes theirs(plaintext.size() + 16);
        ASSERT_TRUE(EVP_EncryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, key.data(),
                                       nonce.data()) &&
                    EVP_EncryptUpdate(ctx.get(), nullptr, &n, aad.data(), int(aad.size())) &&
                    EVP_EncryptUpdate(ctx.get(), theirs.data(), &n, plaintext.data(),
                                      int(plaintext.size())) &&
                    EVP_EncryptFinal_ex(ctx.get(), theirs.data() + plaintext.size(), &n) &&
                    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, 16,
                                        theirs.data() + plaintext.size()));
        Bytes ours(plaintext.size()), opened(plaintext.size());
        const Poly1305Tag tag = aeadSeal(key, nonce, aad, plaintext, ours);
        ours.insert(ours.end(), tag.begin(), tag.end());
        ASSERT_EQ(ours, theirs) << "round " << round;
        ASSERT_TRUE(aeadOpen(key, nonce, aad, std::span(theirs).first(plaintext.size()),
                             std::span(theirs).last<16>(), opened));
        EXPECT_EQ(opened, plaintext);
        theirs[random() % theirs.size()] ^= uint8_t(1 << random() % 8); // the text or the tag
        EXPECT_FALSE(aeadOpen(key, nonce, aad, std::span(theirs).first(plaintext.size()),
                              std::span(theirs).last<16>(), opened));
    }
}

} // namespace
} // namespace pointrelay::crypto
