// SPDX-License-Identifier: MIT
// Known-answer vectors from RFC 8439 (ChaCha20, Poly1305, AEAD) and RFC 4231 (HMAC-SHA256),
// tamper rejection, and a cross-check of ChaCha20 and the AEAD against OpenSSL's libcrypto.
#include "core/crypto/aead.h"
#include "core/crypto/chacha20.h"
#include "core/crypto/hmac_sha256.h"
#include "core/crypto/poly1305.h"
#include "core/crypto/random.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <openssl/evp.h>
#include <random>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pointrelay::crypto {
namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------------------------
// Helpers

int nibble(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes hex digits; spaces are ignored so vectors can be grouped as in the RFCs.
Bytes hex(std::string_view text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ' ')
            continue;
        const int value = nibble(c);
        if (value < 0)
            throw std::invalid_argument("bad hex digit in test vector");
        if (high < 0) {
            high = value;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + value));
            high = -1;
        }
    }
    if (high >= 0)
        throw std::invalid_argument("odd number of hex digits in test vector");
    return out;
}

template <std::size_t N>
std::array<uint8_t, N> fixedHex(std::string_view text) {
    const Bytes bytes = hex(text);
    if (bytes.size() != N)
        throw std::invalid_argument("test vector has the wrong length");
    std::array<uint8_t, N> out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

// Lower-case hex without separators, so failures print readable byte strings.
std::string toHex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0f]);
    }
    return out;
}

// The expected value of a vector in the form toHex() prints.
std::string expectedHex(std::string_view text) {
    return toHex(hex(text));
}

Bytes bytesOf(std::string_view text) {
    const auto span = asBytes(text);
    return Bytes(span.begin(), span.end());
}

Bytes concat(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    Bytes out(a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// Bytes straight from the generator's output (which the C++ standard fixes), so a failing
// case reproduces on every platform.
Bytes randomBytes(std::mt19937& rng, std::size_t count) {
    Bytes out(count);
    for (auto& b : out)
        b = static_cast<uint8_t>(rng() >> 24);
    return out;
}

template <std::size_t N>
std::array<uint8_t, N> randomArray(std::mt19937& rng) {
    std::array<uint8_t, N> out{};
    for (auto& b : out)
        b = static_cast<uint8_t>(rng() >> 24);
    return out;
}

void flipBit(std::span<uint8_t> bytes, std::size_t bit) {
    bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
}

constexpr uint8_t kSentinel = 0xa5;

bool allSentinel(std::span<const uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == kSentinel; });
}

// A rejected open must report false and must not write any (unauthenticated) plaintext.
void expectRejected(const ChaChaKey& key, const ChaChaNonce& nonce, std::span<const uint8_t> aad,
                    std::span<const uint8_t> ciphertext, const Poly1305Tag& tag) {
    Bytes out(ciphertext.size(), kSentinel);
    EXPECT_FALSE(aeadOpen(key, nonce, aad, ciphertext, tag, out));
    EXPECT_TRUE(allSentinel(out)) << "a rejected open wrote to its output buffer";
}

// ---------------------------------------------------------------------------------------------
// OpenSSL as an independent reference

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

void opensslChaCha20(const ChaChaKey& key, uint32_t counter, const ChaChaNonce& nonce,
                     const Bytes& in, Bytes& out) {
    // EVP_chacha20's 16-byte IV is the little-endian block counter followed by the nonce.
    std::array<uint8_t, 16> iv{};
    for (std::size_t i = 0; i < 4; ++i)
        iv[i] = static_cast<uint8_t>(counter >> (8 * i));
    std::copy(nonce.begin(), nonce.end(), iv.begin() + 4);

    CipherCtx ctx(EVP_CIPHER_CTX_new());
    ASSERT_TRUE(ctx != nullptr);
    ASSERT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_chacha20(), nullptr, key.data(), iv.data()), 1);
    out.assign(in.size(), 0);
    int len = 0;
    if (!in.empty()) {
        ASSERT_EQ(
            EVP_EncryptUpdate(ctx.get(), out.data(), &len, in.data(), static_cast<int>(in.size())),
            1);
        ASSERT_EQ(len, static_cast<int>(in.size()));
    }
    uint8_t tail[64] = {};
    ASSERT_EQ(EVP_EncryptFinal_ex(ctx.get(), tail, &len), 1);
    ASSERT_EQ(len, 0);
}

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

void opensslOpen(const ChaChaKey& key, const ChaChaNonce& nonce, const Bytes& aad,
                 const Bytes& ciphertext, const Poly1305Tag& tag, Bytes& plaintext,
                 bool& accepted) {
    accepted = false;
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    ASSERT_TRUE(ctx != nullptr);
    ASSERT_EQ(EVP_DecryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, nullptr, nullptr), 1);
    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, 12, nullptr), 1);
    ASSERT_EQ(EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data()), 1);
    Poly1305Tag expected = tag;
    ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG,
                                  static_cast<int>(expected.size()), expected.data()),
              1);
    int len = 0;
    if (!aad.empty()) {
        ASSERT_EQ(
            EVP_DecryptUpdate(ctx.get(), nullptr, &len, aad.data(), static_cast<int>(aad.size())),
            1);
    }
    plaintext.assign(ciphertext.size(), 0);
    if (!ciphertext.empty()) {
        ASSERT_EQ(EVP_DecryptUpdate(ctx.get(), plaintext.data(), &len, ciphertext.data(),
                                    static_cast<int>(ciphertext.size())),
                  1);
        ASSERT_EQ(len, static_cast<int>(ciphertext.size()));
    }
    uint8_t tail[64] = {};
    accepted = EVP_DecryptFinal_ex(ctx.get(), tail, &len) == 1;
}

// ---------------------------------------------------------------------------------------------
// Vectors

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

constexpr std::string_view kInternetDrafts =
    "Internet-Drafts are draft documents valid for a maximum of six months and may be updated, "
    "replaced, or obsoleted by other documents at any time. It is inappropriate to use "
    "Internet-Drafts as reference material or to cite them other than as /"
    "\xe2\x80\x9c"
    "work in progress./"
    "\xe2\x80\x9d";

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

// RFC 8439 A.5: a received message under kJabberwockyKey.
constexpr std::string_view kReceivedNonce = "000000000102030405060708";
constexpr std::string_view kReceivedAad = "f33388860000000000004e91";
constexpr std::string_view kReceivedCiphertext = "64a0861575861af460f062c79be643bd"
                                                 "5e805cfd345cf389f108670ac76c8cb2"
                                                 "4c6cfc18755d43eea09ee94e382d26b0"
                                                 "bdb7b73c321b0100d4f03b7f355894cf"
                                                 "332f830e710b97ce98c8a84abd0b9481"
                                                 "14ad176e008d33bd60f982b1ff37c855"
                                                 "9797a06ef4f0ef61c186324e2b350638"
                                                 "3606907b6a7c02b0f9f6157b53c867e4"
                                                 "b9166c767b804d46a59b5216cde7a4e9"
                                                 "9040c5a40433225ee282a1b0a06c523e"
                                                 "af4534d7f83fa1155b0047718cbc546a"
                                                 "0d072b04b3564eea1b422273f548271a"
                                                 "0bb2316053fa76991955ebd63159434e"
                                                 "cebb4e466dae5a1073a6727627097a10"
                                                 "49e617d91d361094fa68f0ff77987130"
                                                 "305beaba2eda04df997b714d6c6f2c29"
                                                 "a6ad5cb4022b02709b";
constexpr std::string_view kReceivedTag = "eead9d67890cbb22392336fea1851f38";

struct AeadVector {
    ChaChaKey key = fixedHex<32>(kAeadKey);
    ChaChaNonce nonce = fixedHex<12>(kAeadNonce);
    Bytes aad = hex(kAeadAad);
    Bytes plaintext = bytesOf(kSunscreen);
    Bytes ciphertext = hex(kAeadCiphertext);
    Poly1305Tag tag = fixedHex<16>(kAeadTag);
};

// ---------------------------------------------------------------------------------------------
// ChaCha20

TEST(ChaCha20, BlockFunctionMatchesRfc8439) {
    struct Case {
        const char* name;
        std::string_view key;
        uint32_t counter;
        std::string_view nonce;
        std::string_view block;
    };
    const Case cases[] = {
        {"2.3.2 block function", kSequentialKey, 1, "000000090000004a00000000",
         "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
         "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"},
        // 2.6.2 gives only the first 32 bytes (the Poly1305 one-time key); the prefix is compared.
        {"2.6.2 one-time key (counter 0)", kAeadKey, 0, "000000000001020304050607",
         "8ad5a08b905f81cc815040274ab29471a833b637e3fd0da508dbb8e2fdd1a646"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::array<uint8_t, 64> block{};
        chacha20Block(fixedHex<32>(c.key), c.counter, fixedHex<12>(c.nonce), block);
        const std::string expected = expectedHex(c.block);
        EXPECT_EQ(toHex(block).substr(0, expected.size()), expected);
    }
}

TEST(ChaCha20, EncryptsRfc8439Vectors) {
    struct Case {
        const char* name;
        std::string_view key;
        uint32_t counter;
        std::string_view nonce;
        std::string_view plaintext;
        std::string_view ciphertext;
    };
    const Case cases[] = {
        {"2.4.2 sunscreen", kSequentialKey, 1, kSunscreenNonce, kSunscreen, kSunscreenCiphertext},
        {"A.2 #3 jabberwocky, counter 42", kJabberwockyKey, 42, "000000000000000000000002",
         kJabberwocky,
         "62e6347f95ed87a45ffae7426f27a1df"
         "5fb69110044c0d73118effa95b01e5cf"
         "166d3df2d721caf9b21e5fb14c616871"
         "fd84c54f9d65b283196c7fe4f60553eb"
         "f39c6402c42234e32a356b3e764312a6"
         "1a5532055716ead6962568f87d3f3f77"
         "04c6a8d1bcd1bf4d50d6154b6da731b1"
         "87b58dfd728afa36757a797ac188d1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ChaChaKey key = fixedHex<32>(c.key);
        const ChaChaNonce nonce = fixedHex<12>(c.nonce);
        const Bytes plaintext = bytesOf(c.plaintext);

        Bytes ciphertext(plaintext.size(), kSentinel);
        chacha20Xor(key, c.counter, nonce, plaintext, ciphertext);
        EXPECT_EQ(toHex(ciphertext), expectedHex(c.ciphertext));

        Bytes decrypted(ciphertext.size(), kSentinel);
        chacha20Xor(key, c.counter, nonce, ciphertext, decrypted);
        EXPECT_EQ(decrypted, plaintext);
    }
}

TEST(ChaCha20, InPlaceMatchesSeparateBuffers) {
    const ChaChaKey key = fixedHex<32>(kSequentialKey);
    const ChaChaNonce nonce = fixedHex<12>(kSunscreenNonce);
    Bytes buffer = bytesOf(kSunscreen);
    chacha20Xor(key, 1, nonce, buffer, buffer);
    EXPECT_EQ(toHex(buffer), expectedHex(kSunscreenCiphertext));
}

TEST(ChaCha20, KeystreamIsConsecutiveBlocksTruncatedToLength) {
    std::mt19937 rng(8439);
    const ChaChaKey key = randomArray<32>(rng);
    const ChaChaNonce nonce = randomArray<12>(rng);
    const uint32_t counter = 7;

    Bytes blocks;
    for (uint32_t i = 0; i < 4; ++i) {
        std::array<uint8_t, 64> block{};
        chacha20Block(key, counter + i, nonce, block);
        blocks.insert(blocks.end(), block.begin(), block.end());
    }
    const std::size_t lengths[] = {0, 1, 31, 63, 64, 65, 127, 128, 129, 200, 256};
    for (std::size_t length : lengths) {
        SCOPED_TRACE("length " + std::to_string(length));
        const Bytes zeros(length, 0);
        Bytes keystream(length, kSentinel);
        chacha20Xor(key, counter, nonce, zeros, keystream);
        EXPECT_EQ(toHex(keystream), toHex(std::span(blocks).first(length)));
    }
}

TEST(ChaCha20, MatchesOpenSslForArbitraryCounters) {
    std::mt19937 rng(20180601);
    const uint32_t fixedCounters[] = {0, 1, 0xff, 0x100, 0x01020304, 0x7fffffff, 0xfffffff0};
    for (std::size_t i = 0; i < 60; ++i) {
        const ChaChaKey key = randomArray<32>(rng);
        const ChaChaNonce nonce = randomArray<12>(rng);
        const std::size_t length = rng() % 301;
        // Stay clear of the 32-bit counter wrapping within the message (at most 5 blocks).
        const uint32_t counter = i < std::size(fixedCounters)
                                     ? fixedCounters[i]
                                     : static_cast<uint32_t>(rng() % 0xfffffff0u);
        const Bytes input = randomBytes(rng, length);
        SCOPED_TRACE("case " + std::to_string(i) + ", length " + std::to_string(length) +
                     ", counter " + std::to_string(counter));

        Bytes expected;
        ASSERT_NO_FATAL_FAILURE(opensslChaCha20(key, counter, nonce, input, expected));
        Bytes actual(length, kSentinel);
        chacha20Xor(key, counter, nonce, input, actual);
        EXPECT_EQ(toHex(actual), toHex(expected));
    }
}

// ---------------------------------------------------------------------------------------------
// Poly1305

TEST(Poly1305, MatchesRfc8439Vectors) {
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
        EXPECT_EQ(toHex(poly1305(fixedHex<32>(c.key), c.message)), expectedHex(c.tag));
    }
}

TEST(Poly1305, EmptyMessageGivesS) {
    std::mt19937 rng(1305);
    const Poly1305Key key = randomArray<32>(rng);
    const std::string s = toHex(std::span(key).subspan(16));
    EXPECT_EQ(toHex(poly1305(key, {})), s);
    Poly1305 mac(key);
    EXPECT_EQ(toHex(mac.finish()), s);
}

TEST(Poly1305, IncrementalUpdatesMatchOneShot) {
    std::mt19937 rng(2005);
    struct Case {
        const char* name;
        Poly1305Key key;
        Bytes message;
    };
    const Case cases[] = {
        {"2.5.2 message",
         fixedHex<32>("85d6be7857556d337f4452fe42d506a8"
                      "0103808afb0db2fd4abff6af4149f51b"),
         bytesOf("Cryptographic Forum Research Group")},
        {"random 150 bytes", randomArray<32>(rng), randomBytes(rng, 150)},
        {"A.3 #8 (needs the final reduction)",
         fixedHex<32>("01000000000000000000000000000000 00000000000000000000000000000000"),
         hex("ffffffffffffffffffffffffffffffff fbfefefefefefefefefefefefefefefe "
             "01010101010101010101010101010101")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::span<const uint8_t> message(c.message);
        const std::string expected = toHex(poly1305(c.key, message));

        for (std::size_t split = 0; split <= message.size(); ++split) {
            SCOPED_TRACE("split at " + std::to_string(split));
            Poly1305 mac(c.key);
            mac.update(message.first(split));
            mac.update(message.subspan(split));
            EXPECT_EQ(toHex(mac.finish()), expected);
        }

        // Three pieces, the middle one straddling a block boundary.
        for (std::size_t first = 0; first + 20 <= message.size(); ++first) {
            SCOPED_TRACE("pieces at " + std::to_string(first) + " and " +
                         std::to_string(first + 20));
            Poly1305 mac(c.key);
            mac.update(message.first(first));
            mac.update(message.subspan(first, 20));
            mac.update(message.subspan(first + 20));
            EXPECT_EQ(toHex(mac.finish()), expected);
        }

        Poly1305 byteByByte(c.key);
        for (std::size_t i = 0; i < message.size(); ++i) {
            byteByByte.update({}); // empty updates change nothing
            byteByByte.update(message.subspan(i, 1));
        }
        EXPECT_EQ(toHex(byteByByte.finish()), expected) << "byte by byte";
    }
}

TEST(Poly1305, PadToBlockAppendsZerosUpToBlockBoundary) {
    std::mt19937 rng(16);
    const Poly1305Key key = randomArray<32>(rng);
    const Bytes data = randomBytes(rng, 40);
    const Bytes after = randomBytes(rng, 5);

    for (std::size_t length = 0; length <= data.size(); ++length) {
        SCOPED_TRACE("padding after " + std::to_string(length) + " bytes");
        const std::span<const uint8_t> head = std::span(data).first(length);
        Bytes padded(head.begin(), head.end());
        padded.resize((length + 15) / 16 * 16, 0);
        const std::string expected = toHex(poly1305(key, concat(padded, after)));

        Poly1305 mac(key);
        mac.update(head);
        mac.padToBlock();
        mac.update(after);
        EXPECT_EQ(toHex(mac.finish()), expected);

        // The same when the data before the padding arrived in two pieces.
        Poly1305 split(key);
        split.update(head.first(length / 2));
        split.update(head.subspan(length / 2));
        split.padToBlock();
        split.update(after);
        EXPECT_EQ(toHex(split.finish()), expected) << "two pieces before padding";
    }
}

TEST(Poly1305, PadToBlockTwiceAddsNothingMore) {
    std::mt19937 rng(17);
    const Poly1305Key key = randomArray<32>(rng);
    const Bytes data = randomBytes(rng, 21);
    Bytes padded = data;
    padded.resize(32, 0);

    Poly1305 mac(key);
    mac.update(data);
    mac.padToBlock();
    mac.padToBlock();
    EXPECT_EQ(toHex(mac.finish()), toHex(poly1305(key, padded)));
}

// ---------------------------------------------------------------------------------------------
// AEAD (ChaCha20-Poly1305)

TEST(Aead, SealMatchesRfc8439Vector) {
    const AeadVector v;
    Bytes ciphertext(v.plaintext.size(), kSentinel);
    const Poly1305Tag tag = aeadSeal(v.key, v.nonce, v.aad, v.plaintext, ciphertext);
    EXPECT_EQ(toHex(ciphertext), toHex(v.ciphertext));
    EXPECT_EQ(toHex(tag), toHex(v.tag));
}

TEST(Aead, OpenRecoversRfc8439Plaintext) {
    const AeadVector v;
    Bytes plaintext(v.ciphertext.size(), kSentinel);
    ASSERT_TRUE(aeadOpen(v.key, v.nonce, v.aad, v.ciphertext, v.tag, plaintext));
    EXPECT_EQ(plaintext, v.plaintext);
}

TEST(Aead, OpensRfc8439ReceivedMessage) {
    const ChaChaKey key = fixedHex<32>(kJabberwockyKey);
    const ChaChaNonce nonce = fixedHex<12>(kReceivedNonce);
    const Bytes aad = hex(kReceivedAad);
    const Bytes ciphertext = hex(kReceivedCiphertext);
    const Poly1305Tag tag = fixedHex<16>(kReceivedTag);
    const Bytes expected = bytesOf(kInternetDrafts);

    Bytes plaintext(ciphertext.size(), kSentinel);
    ASSERT_TRUE(aeadOpen(key, nonce, aad, ciphertext, tag, plaintext));
    EXPECT_EQ(plaintext, expected);

    Bytes resealed(expected.size(), kSentinel);
    EXPECT_EQ(toHex(aeadSeal(key, nonce, aad, expected, resealed)), toHex(tag));
    EXPECT_EQ(toHex(resealed), toHex(ciphertext));
}

TEST(Aead, SealAndOpenWorkInPlace) {
    const AeadVector v;
    Bytes buffer = v.plaintext;
    const Poly1305Tag tag = aeadSeal(v.key, v.nonce, v.aad, buffer, buffer);
    EXPECT_EQ(toHex(buffer), toHex(v.ciphertext));
    EXPECT_EQ(toHex(tag), toHex(v.tag));

    ASSERT_TRUE(aeadOpen(v.key, v.nonce, v.aad, buffer, tag, buffer));
    EXPECT_EQ(buffer, v.plaintext);
}

TEST(Aead, EmptyPlaintextAndAadStillAuthenticate) {
    const AeadVector v;
    const Poly1305Tag tag = aeadSeal(v.key, v.nonce, {}, {}, {});
    Bytes none;
    EXPECT_TRUE(aeadOpen(v.key, v.nonce, {}, none, tag, none));

    // The tag still binds the key, the nonce and the (empty) AAD.
    Poly1305Tag flipped = tag;
    flipBit(flipped, 0);
    expectRejected(v.key, v.nonce, {}, none, flipped);
    expectRejected(v.key, v.nonce, v.aad, none, tag);
    ChaChaNonce otherNonce = v.nonce;
    flipBit(otherNonce, 95);
    expectRejected(v.key, otherNonce, {}, none, tag);
}

TEST(Aead, RejectsEveryFlippedTagBit) {
    const AeadVector v;
    for (std::size_t bit = 0; bit < v.tag.size() * 8; ++bit) {
        SCOPED_TRACE("tag bit " + std::to_string(bit));
        Poly1305Tag tag = v.tag;
        flipBit(tag, bit);
        expectRejected(v.key, v.nonce, v.aad, v.ciphertext, tag);
    }
}

TEST(Aead, RejectsAFlippedBitInEveryCiphertextByte) {
    const AeadVector v;
    std::mt19937 rng(99);
    for (std::size_t i = 0; i < v.ciphertext.size(); ++i) {
        const std::size_t bit = i * 8 + rng() % 8;
        SCOPED_TRACE("ciphertext bit " + std::to_string(bit));
        Bytes ciphertext = v.ciphertext;
        flipBit(ciphertext, bit);
        expectRejected(v.key, v.nonce, v.aad, ciphertext, v.tag);
    }
}

TEST(Aead, RejectsEveryFlippedAadBit) {
    const AeadVector v;
    for (std::size_t bit = 0; bit < v.aad.size() * 8; ++bit) {
        SCOPED_TRACE("AAD bit " + std::to_string(bit));
        Bytes aad = v.aad;
        flipBit(aad, bit);
        expectRejected(v.key, v.nonce, aad, v.ciphertext, v.tag);
    }
}

TEST(Aead, RejectsEveryFlippedNonceBit) {
    const AeadVector v;
    for (std::size_t bit = 0; bit < v.nonce.size() * 8; ++bit) {
        SCOPED_TRACE("nonce bit " + std::to_string(bit));
        ChaChaNonce nonce = v.nonce;
        flipBit(nonce, bit);
        expectRejected(v.key, nonce, v.aad, v.ciphertext, v.tag);
    }
}

TEST(Aead, RejectsWrongKeyAndChangedLengths) {
    const AeadVector v;
    {
        SCOPED_TRACE("one key bit flipped");
        ChaChaKey key = v.key;
        flipBit(key, 200);
        expectRejected(key, v.nonce, v.aad, v.ciphertext, v.tag);
    }
    {
        SCOPED_TRACE("last ciphertext byte dropped");
        const auto shorter = std::span(v.ciphertext).first(v.ciphertext.size() - 1);
        expectRejected(v.key, v.nonce, v.aad, shorter, v.tag);
    }
    {
        SCOPED_TRACE("zero byte appended to the ciphertext");
        Bytes longer = v.ciphertext;
        longer.push_back(0);
        expectRejected(v.key, v.nonce, v.aad, longer, v.tag);
    }
    {
        SCOPED_TRACE("zero byte appended to the AAD (only the length field tells it apart)");
        Bytes longer = v.aad;
        longer.push_back(0);
        expectRejected(v.key, v.nonce, longer, v.ciphertext, v.tag);
    }
    {
        SCOPED_TRACE("AAD dropped");
        expectRejected(v.key, v.nonce, {}, v.ciphertext, v.tag);
    }
    {
        SCOPED_TRACE("first ciphertext byte moved to the end of the AAD");
        const Bytes aad = concat(v.aad, std::span(v.ciphertext).first(1));
        expectRejected(v.key, v.nonce, aad, std::span(v.ciphertext).subspan(1), v.tag);
    }
}

TEST(Aead, FailedInPlaceOpenLeavesCiphertextIntact) {
    const AeadVector v;
    Poly1305Tag tag = v.tag;
    flipBit(tag, 127);
    Bytes buffer = v.ciphertext;
    EXPECT_FALSE(aeadOpen(v.key, v.nonce, v.aad, buffer, tag, buffer));
    EXPECT_EQ(toHex(buffer), toHex(v.ciphertext));
}

TEST(Aead, MatchesOpenSsl) {
    std::mt19937 rng(7539);
    const std::size_t edgeLengths[] = {0, 1, 15, 16, 17, 63, 64, 65, 127, 128, 129, 300};
    const std::size_t edgeAadLengths[] = {0, 1, 12, 15, 16, 17, 40};
    // Every pairing of the edge lengths first, then random lengths.
    const std::size_t edgeCases = std::size(edgeLengths) * std::size(edgeAadLengths);
    for (std::size_t i = 0; i < 200; ++i) {
        std::size_t length = 0;
        std::size_t aadLength = 0;
        if (i < edgeCases) {
            length = edgeLengths[i / std::size(edgeAadLengths)];
            aadLength = edgeAadLengths[i % std::size(edgeAadLengths)];
        } else {
            length = static_cast<std::size_t>(rng() % 301);
            aadLength = static_cast<std::size_t>(rng() % 41);
        }
        const ChaChaKey key = randomArray<32>(rng);
        const ChaChaNonce nonce = randomArray<12>(rng);
        const Bytes aad = randomBytes(rng, aadLength);
        const Bytes plaintext = randomBytes(rng, length);
        SCOPED_TRACE("case " + std::to_string(i) + ": plaintext " + std::to_string(length) +
                     " bytes, AAD " + std::to_string(aadLength) + " bytes");

        Bytes theirCiphertext;
        Poly1305Tag theirTag{};
        ASSERT_NO_FATAL_FAILURE(opensslSeal(key, nonce, aad, plaintext, theirCiphertext, theirTag));

        Bytes ourCiphertext(length, kSentinel);
        const Poly1305Tag ourTag = aeadSeal(key, nonce, aad, plaintext, ourCiphertext);
        EXPECT_EQ(toHex(ourCiphertext), toHex(theirCiphertext));
        EXPECT_EQ(toHex(ourTag), toHex(theirTag));

        Bytes opened(length, kSentinel);
        EXPECT_TRUE(aeadOpen(key, nonce, aad, theirCiphertext, theirTag, opened));
        EXPECT_EQ(opened, plaintext);

        Bytes theirOpened;
        bool accepted = false;
        ASSERT_NO_FATAL_FAILURE(
            opensslOpen(key, nonce, aad, ourCiphertext, ourTag, theirOpened, accepted));
        EXPECT_TRUE(accepted) << "OpenSSL rejected our tag";
        EXPECT_EQ(theirOpened, plaintext);
    }
}

TEST(ConstantTimeEqual, ComparesWholeLength) {
    const Bytes a = hex(kAeadCiphertext);
    EXPECT_TRUE(constantTimeEqual(a, a));
    EXPECT_TRUE(constantTimeEqual(Bytes{}, Bytes{}));
    for (std::size_t i = 0; i < a.size(); ++i) {
        SCOPED_TRACE("difference at byte " + std::to_string(i));
        Bytes b = a;
        b[i] ^= 0x80;
        EXPECT_FALSE(constantTimeEqual(a, b));
        EXPECT_FALSE(constantTimeEqual(b, a));
    }
}

// ---------------------------------------------------------------------------------------------
// HMAC-SHA256

TEST(HmacSha256, MatchesRfc4231) {
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
        EXPECT_EQ(toHex(hmacSha256(c.key, {c.data})), expectedHex(c.digest));
    }
}

TEST(HmacSha256, PartsAreConcatenated) {
    const Bytes key = bytesOf("Jefe");
    const Bytes message = bytesOf("what do ya want for nothing?");
    const std::span<const uint8_t> m(message);
    const std::string expected =
        expectedHex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");

    for (std::size_t i = 0; i <= m.size(); ++i) {
        for (std::size_t j = i; j <= m.size(); ++j) {
            SCOPED_TRACE("parts split at " + std::to_string(i) + " and " + std::to_string(j));
            EXPECT_EQ(toHex(hmacSha256(key, {m.first(i), m.subspan(i, j - i), m.subspan(j)})),
                      expected);
        }
    }
    EXPECT_EQ(toHex(hmacSha256(key, {{}, m.first(10), {}, m.subspan(10), {}})), expected)
        << "empty parts in between";
}

TEST(HmacSha256, NoPartsIsTheEmptyMessage) {
    const Bytes key = bytesOf("key");
    const std::string expected =
        expectedHex("5d5d139563c95b5967b9bd9a8c9b233a9dedb45072794cd232dc1b74832607d0");
    EXPECT_EQ(toHex(hmacSha256(key, {})), expected);
    EXPECT_EQ(toHex(hmacSha256(key, {asBytes("")})), expected);
}

TEST(HmacSha256, EmptyKeyWorks) {
    const std::span<const uint8_t> noKey;
    const auto message = asBytes("The quick brown fox jumps over the lazy dog");
    const std::string expected =
        expectedHex("fb011e6154a19b9a4c767373c305275a5a69e8b68b0b4c9200c383dced19a416");
    EXPECT_EQ(toHex(hmacSha256(noKey, {message})), expected);
    // HMAC pads short keys with zeros to the block size, so an empty key is 64 zero bytes.
    EXPECT_EQ(toHex(hmacSha256(Bytes(64, 0), {message})), expected);
    EXPECT_EQ(toHex(hmacSha256(noKey, {})),
              expectedHex("b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"));
}

// ---------------------------------------------------------------------------------------------
// Random

TEST(Random, FillsShortBuffer) {
    std::array<uint8_t, 16> a{};
    std::array<uint8_t, 16> b{};
    ASSERT_TRUE(fillRandom(a));
    ASSERT_TRUE(fillRandom(b));
    const std::array<uint8_t, 16> zeros{};
    EXPECT_NE(a, zeros);
    EXPECT_NE(a, b) << "two draws of 128 bits were equal";
}

TEST(Random, FillsWholeLongBuffer) {
    Bytes a(1000, kSentinel);
    Bytes b(1000, kSentinel);
    ASSERT_TRUE(fillRandom(a));
    ASSERT_TRUE(fillRandom(b));
    EXPECT_NE(a, b);
    // Every stretch was written: none of 16 consecutive bytes kept the sentinel throughout
    // (chance 2^-128 per stretch for random bytes).
    for (std::size_t offset = 0; offset + 16 <= a.size(); offset += 16) {
        EXPECT_FALSE(allSentinel(std::span(a).subspan(offset, 16))) << "untouched at " << offset;
    }
    // 1000 uniform bytes take about 251 distinct values; far fewer means a broken source.
    const std::set<uint8_t> distinct(a.begin(), a.end());
    EXPECT_GT(distinct.size(), 200u);
}

TEST(Random, EmptyBufferSucceeds) {
    EXPECT_TRUE(fillRandom({}));
}

} // namespace
} // namespace pointrelay::crypto
