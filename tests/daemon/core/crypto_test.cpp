// SPDX-License-Identifier: MIT
// One official vector per primitive of our own (with the Poly1305 reduction edges that random
// inputs never reach), and the AEAD against OpenSSL's; a flipped bit or other data keeps a frame
// shut. (HMAC-SHA256 is OpenSSL's; the handshake vectors check our use of it.)
#include "core/crypto/aead.h"
#include "support/hex.h"

#include <gtest/gtest.h>
#include <memory>
#include <openssl/evp.h>
#include <random>

namespace pointrelay::crypto {
namespace {

using namespace test;

constexpr std::string_view kSunscreen =
    "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
    "future, sunscreen would be it.";

// RFC 8439 2.8.2; its ChaCha20 part is the vector of 2.4.2 at counter 1.
const ChaChaKey kKey =
    hexArray<32>("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
const ChaChaNonce kNonce = hexArray<12>("070000004041424344454647");
const Bytes kAad = hex("50515253c0c1c2c3c4c5c6c7");
const Bytes kCiphertext =
    hex("d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca96712"
        "82fafb69da92728b1a71de0a9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58"
        "fab324e4fad675945585808b4831d7bc3ff4def08e4b7a9de576d26586cec64b6116");
const Poly1305Tag kTag = hexArray<16>("1ae10b594f09e26a7e902ecbd0600691");

TEST(Crypto, OfficialVectors) {
    const Bytes sunscreen = toBytes(kSunscreen);
    Bytes ciphertext(sunscreen.size()), opened(sunscreen.size());
    EXPECT_EQ((std::pair{aeadSeal(kKey, kNonce, kAad, sunscreen, ciphertext), ciphertext}),
              std::pair(kTag, kCiphertext));
    EXPECT_EQ((std::pair{aeadOpen(kKey, kNonce, kAad, ciphertext, kTag, opened), opened}),
              std::pair(true, sunscreen));
    EXPECT_FALSE(aeadOpen(kKey, kNonce, {}, kCiphertext, kTag, opened)); // the data counts
    chacha20Xor(kKey, 1, kNonce, ciphertext, ciphertext); // its own inverse, in place
    EXPECT_EQ(ciphertext, sunscreen);

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
