// SPDX-License-Identifier: MIT
// Known answers from RFC 8439 and RFC 4231, tampered copies that must be refused, and a
// cross-check of the AEAD against OpenSSL's implementation on random inputs.
#include "core/crypto/aead.h"
#include "core/crypto/hmac_sha256.h"
#include "core/crypto/random.h"

#include <gtest/gtest.h>
#include <memory>
#include <openssl/evp.h>
#include <random>
#include <string>
#include <vector>

namespace pointrelay::crypto {
namespace {

using Bytes = std::vector<uint8_t>;

// Decodes hex digits; spaces group them as in the RFCs.
Bytes hex(std::string_view text) {
    Bytes out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ')
            continue;
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
        ++i;
    }
    return out;
}

template <size_t N>
std::array<uint8_t, N> fixedHex(std::string_view text) {
    const Bytes bytes = hex(text);
    std::array<uint8_t, N> out{};
    std::copy_n(bytes.begin(), std::min(N, bytes.size()), out.begin());
    return out;
}

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

template <typename Range>
Bytes toBytes(const Range& range) {
    return Bytes(std::begin(range), std::end(range));
}

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

void opensslSeal(const ChaChaKey& key, const ChaChaNonce& nonce, const Bytes& aad,
                 const Bytes& plaintext, Bytes& ciphertext, Poly1305Tag& tag) {
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    ASSERT_TRUE(ctx != nullptr);
    ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, nullptr, nullptr), 1);
    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, 12, nullptr), 1);
    ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data()), 1);
    int len = 0;
    if (!aad.empty()) {
        ASSERT_EQ(
            EVP_EncryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())),
            1);
    }
    ciphertext.assign(plaintext.size(), 0);
    if (!plaintext.empty()) {
        ASSERT_EQ(EVP_EncryptUpdate(ctx.get(), ciphertext.data(), &len, plaintext.data(),
                                    static_cast<int>(plaintext.size())),
                  1);
        ASSERT_EQ(len, static_cast<int>(plaintext.size()));
    }
    uint8_t tail[64] = {};
    ASSERT_EQ(EVP_EncryptFinal_ex(ctx.get(), tail, &len), 1);
    ASSERT_EQ(len, 0);
    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(tag.size()),
                                  tag.data()),
              1);
}

constexpr std::string_view kSequentialKey =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
constexpr std::string_view kAeadKey =
    "808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f";
constexpr std::string_view kJabberwockyKey =
    "1c9240a5eb55d38af333888604f6b5f0473917c1402b80099dca5cbc207075c0";

constexpr std::string_view kSunscreen =
    "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
    "future, sunscreen would be it.";

constexpr std::string_view kIetfSubmission =
    "Any submission to the IETF intended by the Contributor for publication as all or part of "
    "an IETF Internet-Draft or RFC and any statement made within the context of an IETF "
    "activity is considered an \"IETF Contribution\". Such statements include oral statements "
    "in IETF sessions, as well as written and electronic communications made at any time or "
    "place, which are addressed to";

constexpr std::string_view kJabberwocky =
    "'Twas brillig, and the slithy toves\nDid gyre and gimble in the wabe:\n"
    "All mimsy were the borogoves,\nAnd the mome raths outgrabe.";

// RFC 8439 2.4.2: the sunscreen text under kSequentialKey, counter 1.
constexpr std::string_view kSunscreenNonce = "000000000000004a00000000";
constexpr std::string_view kSunscreenCiphertext = "6e2e359a2568f98041ba0728dd0d6981"
                                                  "e97e7aec1d4360c20a27afccfd9fae0b"
                                                  "f91b65c5524733ab8f593dabcd62b357"
                                                  "1639d624e65152ab8f530c359f0861d8"
                                                  "07ca0dbf500d6a6156a38e088a22b65e"
                                                  "52bc514d16ccf806818ce91ab7793736"
                                                  "5af90bbf74a35be6b40b8eedf2785e42"
                                                  "874d";

// RFC 8439 2.8.2: the sunscreen text sealed under kAeadKey.
constexpr std::string_view kAeadNonce = "070000004041424344454647";
constexpr std::string_view kAeadAad = "50515253c0c1c2c3c4c5c6c7";
constexpr std::string_view kAeadCiphertext = "d31a8d34648e60db7b86afbc53ef7ec2"
                                             "a4aded51296e08fea9e2b5a736ee62d6"
                                             "3dbea45e8ca9671282fafb69da92728b"
                                             "1a71de0a9e060b2905d6a5b67ecd3b36"
                                             "92ddbd7f2d778b8c9803aee328091b58"
                                             "fab324e4fad675945585808b4831d7bc"
                                             "3ff4def08e4b7a9de576d26586cec64b"
                                             "6116";
constexpr std::string_view kAeadTag = "1ae10b594f09e26a7e902ecbd0600691";

TEST(ChaCha20, EncryptsTheRfcSunscreenText) {
    const Bytes plaintext = bytesOf(kSunscreen);
    Bytes out(plaintext.size());
    chacha20Xor(fixedHex<32>(kSequentialKey), 1, fixedHex<12>(kSunscreenNonce), plaintext, out);
    EXPECT_EQ(out, hex(kSunscreenCiphertext));
    chacha20Xor(fixedHex<32>(kSequentialKey), 1, fixedHex<12>(kSunscreenNonce), out, out);
    EXPECT_EQ(out, plaintext); // in place, and its own inverse
}

TEST(Poly1305, RfcVectorsIncludingTheReductionEdges) {
    struct Case {
        const char* name;
        std::string_view key; // r then s
        Bytes message;
        std::string_view tag;
    };
    const Case cases[] = {
        {"2.5.2", "85d6be7857556d337f4452fe42d506a8 0103808afb0db2fd4abff6af4149f51b",
         bytesOf("Cryptographic Forum Research Group"), "a8061dc1305136c6c22b8baf0c0127a9"},
        {"A.3 #1: all zero", "00000000000000000000000000000000 00000000000000000000000000000000",
         Bytes(64, 0), "00000000000000000000000000000000"},
        {"A.3 #2: r = 0, so the tag is s",
         "00000000000000000000000000000000 36e5f6b5c5e06070f0efca96227a863e",
         bytesOf(kIetfSubmission), "36e5f6b5c5e06070f0efca96227a863e"},
        {"A.3 #3: s = 0", "36e5f6b5c5e06070f0efca96227a863e 00000000000000000000000000000000",
         bytesOf(kIetfSubmission), "f3477e7cd95417af89a6b8794c310cf0"},
        {"A.3 #4", std::string_view(kJabberwockyKey), bytesOf(kJabberwocky),
         "4541669a7eaaee61e708dc7cbcc5eb62"},
        {"A.3 #5: partially reduced result not fully reduced",
         "02000000000000000000000000000000 00000000000000000000000000000000",
         hex("ffffffffffffffffffffffffffffffff"), "03000000000000000000000000000000"},
        {"A.3 #6: adding s overflows 2^128",
         "02000000000000000000000000000000 ffffffffffffffffffffffffffffffff",
         hex("02000000000000000000000000000000"), "03000000000000000000000000000000"},
        {"A.3 #7: all-ones limb with a carry into it",
         "01000000000000000000000000000000 00000000000000000000000000000000",
         hex("ffffffffffffffffffffffffffffffff f0ffffffffffffffffffffffffffffff "
             "11000000000000000000000000000000"),
         "05000000000000000000000000000000"},
        {"A.3 #8: result exactly 2^130-5",
         "01000000000000000000000000000000 00000000000000000000000000000000",
         hex("ffffffffffffffffffffffffffffffff fbfefefefefefefefefefefefefefefe "
             "01010101010101010101010101010101"),
         "00000000000000000000000000000000"},
        {"A.3 #9: result exactly 2^130-6",
         "02000000000000000000000000000000 00000000000000000000000000000000",
         hex("fdffffffffffffffffffffffffffffff"), "faffffffffffffffffffffffffffffff"},
        {"A.3 #10: 131-bit intermediate after reduction",
         "01000000000000000400000000000000 00000000000000000000000000000000",
         hex("e33594d7505e43b90000000000000000 3394d7505e4379cd0100000000000000 "
             "00000000000000000000000000000000 01000000000000000000000000000000"),
         "14000000000000005500000000000000"},
        {"A.3 #11: 131-bit final result",
         "01000000000000000400000000000000 00000000000000000000000000000000",
         hex("e33594d7505e43b90000000000000000 3394d7505e4379cd0100000000000000 "
             "00000000000000000000000000000000"),
         "13000000000000000000000000000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(toBytes(poly1305(fixedHex<32>(c.key), c.message)), hex(c.tag));
    }
}

TEST(Poly1305, IncrementalFeedingGivesTheSameTag) {
    const Poly1305Key key = fixedHex<32>(kJabberwockyKey);
    const Bytes message = bytesOf(kSunscreen);
    const Poly1305Tag whole = poly1305(key, message);
    for (size_t split = 0; split <= message.size(); ++split) {
        Poly1305 mac(key);
        mac.update(std::span(message).first(split));
        mac.update(std::span(message).subspan(split));
        ASSERT_EQ(mac.finish(), whole) << "split at " << split;
    }
}

TEST(Aead, SealsAndOpensTheRfcVector) {
    const auto key = fixedHex<32>(kAeadKey);
    const auto nonce = fixedHex<12>(kAeadNonce);
    const Bytes aad = hex(kAeadAad);
    const Bytes plaintext = bytesOf(kSunscreen);
    Bytes ciphertext(plaintext.size());
    const Poly1305Tag tag = aeadSeal(key, nonce, aad, plaintext, ciphertext);
    EXPECT_EQ(ciphertext, hex(kAeadCiphertext));
    EXPECT_EQ(toBytes(tag), hex(kAeadTag));

    Bytes opened(ciphertext.size());
    ASSERT_TRUE(aeadOpen(key, nonce, aad, ciphertext, tag, opened));
    EXPECT_EQ(opened, plaintext);
}

// Any single flipped bit of tag, ciphertext, AAD or nonce is refused, and nothing is written.
TEST(Aead, RefusesEveryTamperedCopy) {
    const auto key = fixedHex<32>(kAeadKey);
    const auto nonce = fixedHex<12>(kAeadNonce);
    const Bytes aad = hex(kAeadAad);
    const Bytes ciphertext = hex(kAeadCiphertext);
    const auto tag = fixedHex<16>(kAeadTag);
    std::mt19937 rng(8439);
    auto refused = [&](const ChaChaNonce& n, const Bytes& a, const Bytes& c, const Poly1305Tag& t) {
        Bytes out(c.size(), 0xA5);
        return !aeadOpen(key, n, a, c, t, out) && out == Bytes(c.size(), 0xA5);
    };
    for (size_t bit = 0; bit < tag.size() * 8; ++bit) {
        auto t = tag;
        t[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_TRUE(refused(nonce, aad, ciphertext, t)) << "tag bit " << bit;
    }
    for (size_t i = 0; i < ciphertext.size(); ++i) {
        Bytes c = ciphertext;
        c[i] ^= static_cast<uint8_t>(1u << (rng() % 8));
        EXPECT_TRUE(refused(nonce, aad, c, tag)) << "ciphertext byte " << i;
    }
    for (size_t i = 0; i < aad.size(); ++i) {
        Bytes a = aad;
        a[i] ^= 0x01;
        EXPECT_TRUE(refused(nonce, a, ciphertext, tag)) << "aad byte " << i;
    }
    for (size_t i = 0; i < nonce.size(); ++i) {
        auto n = nonce;
        n[i] ^= 0x80;
        EXPECT_TRUE(refused(n, aad, ciphertext, tag)) << "nonce byte " << i;
    }
    EXPECT_TRUE(refused(nonce, Bytes{}, ciphertext, tag));
    EXPECT_TRUE(refused(nonce, aad, Bytes(ciphertext.begin(), ciphertext.end() - 1), tag));
}

TEST(Aead, AgreesWithOpenSslOnRandomInputs) {
    std::mt19937 rng(20261206); // fixed, so a failure reproduces
    const size_t edgeLengths[] = {0, 1, 15, 16, 17, 63, 64, 65, 300};
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        ChaChaKey key;
        ChaChaNonce nonce;
        for (auto& b : key)
            b = static_cast<uint8_t>(rng());
        for (auto& b : nonce)
            b = static_cast<uint8_t>(rng());
        const size_t length = round < 9 ? edgeLengths[round] : rng() % 301;
        Bytes plaintext(length), aad(rng() % 41);
        for (auto& b : plaintext)
            b = static_cast<uint8_t>(rng());
        for (auto& b : aad)
            b = static_cast<uint8_t>(rng());

        Bytes theirs;
        Poly1305Tag theirTag{};
        opensslSeal(key, nonce, aad, plaintext, theirs, theirTag);
        Bytes ours(length);
        EXPECT_EQ(aeadSeal(key, nonce, aad, plaintext, ours), theirTag);
        EXPECT_EQ(ours, theirs);
        Bytes opened(length);
        EXPECT_TRUE(aeadOpen(key, nonce, aad, theirs, theirTag, opened));
        EXPECT_EQ(opened, plaintext);
    }
}

TEST(HmacSha256, Rfc4231Vectors) {
    struct Case {
        const char* name;
        Bytes key;
        Bytes data;
        std::string_view digest;
    };
    const Case cases[] = {
        {"test case 1", Bytes(20, 0x0b), bytesOf("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"test case 2: key shorter than the digest", bytesOf("Jefe"),
         bytesOf("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"test case 3", Bytes(20, 0xaa), Bytes(50, 0xdd),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"test case 4", hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Bytes(50, 0xcd),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {"test case 6: key longer than a block", Bytes(131, 0xaa),
         bytesOf("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"test case 7: key and data longer than a block", Bytes(131, 0xaa),
         bytesOf("This is a test using a larger than block-size key and a larger than block-size "
                 "data. The key needs to be hashed before being used by the HMAC algorithm."),
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(toBytes(hmacSha256(c.key, {c.data})), hex(c.digest));
        // The message may come in parts; only their concatenation counts.
        const size_t half = c.data.size() / 2;
        EXPECT_EQ(toBytes(hmacSha256(
                      c.key, {std::span(c.data).first(half), {}, std::span(c.data).subspan(half)})),
                  hex(c.digest));
    }
}

TEST(Random, DrawsDiffer) {
    std::array<uint8_t, 16> a{}, b{};
    ASSERT_TRUE(fillRandom(a));
    ASSERT_TRUE(fillRandom(b));
    EXPECT_NE(a, b);
    Bytes large(100000);
    EXPECT_TRUE(fillRandom(large));
}

} // namespace
} // namespace pointrelay::crypto
