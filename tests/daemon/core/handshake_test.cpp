// SPDX-License-Identifier: MIT
#include "core/handshake.h"
#include "core/record.h"
#include "phone_client.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace pointrelay::core {
namespace {

using Bytes = std::vector<uint8_t>;

// An HMAC computed separately from the daemon's, straight from OpenSSL's one-shot call.
Bytes referenceHmac(std::string_view key, const Bytes& message) {
    uint8_t out[32];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), message.data(), message.size(),
         out, &length);
    return Bytes(out, out + length);
}

Bytes concat(std::string_view label, const HandshakeNonce& a, const HandshakeNonce& b) {
    Bytes out(label.begin(), label.end());
    out.insert(out.end(), a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

template <size_t N>
Bytes bytes(const std::array<uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

const std::string kPsk = "set-a-real-psk-here-00";
const HandshakeNonce kClient = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const HandshakeNonce kServer = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

TEST(KeySchedule, MatchesAnIndependentHmacForFixedNonces) {
    const SessionKeys keys = deriveSessionKeys(kPsk, kClient, kServer);
    EXPECT_EQ(bytes(keys.textCs), referenceHmac(kPsk, concat("PRLY:aead:text", kClient, kServer)));
    EXPECT_EQ(bytes(keys.textSc), referenceHmac(kPsk, concat("PRLY:aead:text", kServer, kClient)));
    EXPECT_EQ(bytes(keys.keyCs), referenceHmac(kPsk, concat("PRLY:aead:key", kClient, kServer)));
    EXPECT_EQ(bytes(keys.keySc), referenceHmac(kPsk, concat("PRLY:aead:key", kServer, kClient)));
    const Bytes nonceCs = referenceHmac(kPsk, concat("PRLY:aead:nonce", kClient, kServer));
    const Bytes nonceSc = referenceHmac(kPsk, concat("PRLY:aead:nonce", kServer, kClient));
    EXPECT_EQ(bytes(keys.nonceBaseCs), Bytes(nonceCs.begin(), nonceCs.begin() + 12));
    EXPECT_EQ(bytes(keys.nonceBaseSc), Bytes(nonceSc.begin(), nonceSc.begin() + 12));
    EXPECT_EQ(keys.rxCounter, 0u);
    EXPECT_FALSE(keys.chosenVariant);
}

TEST(KeySchedule, HelloAndWelcomeLayout) {
    const HelloFrame hello = buildHello(kPsk, kClient);
    EXPECT_EQ(Bytes(hello.begin(), hello.begin() + 6), (Bytes{0x01, 'P', 'R', 'L', 'Y', 0x01}));
    EXPECT_EQ(Bytes(hello.begin() + 6, hello.begin() + 22), bytes(kClient));
    Bytes helloMessage{'H', 'E', 'L', 'L', 'O'};
    helloMessage.insert(helloMessage.end(), kClient.begin(), kClient.end());
    EXPECT_EQ(Bytes(hello.begin() + 22, hello.end()), referenceHmac(kPsk, helloMessage));

    const WelcomeFrame welcome = buildWelcome(kPsk, kClient, kServer);
    EXPECT_EQ(welcome[0], 0x02);
    EXPECT_EQ(Bytes(welcome.begin() + 1, welcome.begin() + 17), bytes(kServer));
    EXPECT_EQ(Bytes(welcome.begin() + 17, welcome.end()),
              referenceHmac(kPsk, concat("WELCOME", kClient, kServer)));

    HandshakeNonce parsed{};
    EXPECT_EQ(checkHello(hello, kPsk, parsed), HelloCheck::Ok);
    EXPECT_EQ(parsed, kClient);
    EXPECT_EQ(checkHello(hello, "other key", parsed), HelloCheck::HmacMismatch);
}

TEST(RecordProtection, VariantSearchPicksTheClientsVariantAndKeepsIt) {
    for (const AeadVariant variant : kAllVariants) {
        SessionKeys keys = deriveSessionKeys(kPsk, kClient, kServer);
        const Bytes text{'o', 'k'};
        const Bytes frame = client::sealRecord(keys, variant, AeadFraming::Offset1Aad10, 0, text);
        Bytes plain;
        ASSERT_EQ(openRecord(keys, frame, plain), RecordOpen::Opened);
        EXPECT_EQ(plain, text);
        EXPECT_EQ(keys.chosenVariant, variant);
        EXPECT_EQ(keys.rxCounter, 1u);
    }
}

TEST(RecordProtection, ThirdFramingNeedsItsMarkerByte) {
    SessionKeys keys = deriveSessionKeys(kPsk, kClient, kServer);
    const Bytes text{'a', 'b', 'c'};
    Bytes frame = client::sealRecord(keys, AeadVariant::TextCs, AeadFraming::Offset2Aad10, 0, text);
    ASSERT_EQ(frame[1], 0x10);
    Bytes plain;
    Bytes altered = frame;
    altered[1] = 0x11; // same ciphertext, no marker: the framing is not tried at all
    EXPECT_EQ(openRecord(keys, altered, plain), RecordOpen::Failed);
    EXPECT_EQ(keys.rxCounter, 0u);
    EXPECT_FALSE(keys.chosenVariant);
    EXPECT_EQ(openRecord(keys, frame, plain), RecordOpen::Opened);
    EXPECT_EQ(plain, text);
}

TEST(RecordProtection, SizeBoundsAndNonceLayout) {
    SessionKeys keys = deriveSessionKeys(kPsk, kClient, kServer);
    Bytes plain;
    EXPECT_EQ(openRecord(keys, Bytes(17, 0x90), plain), RecordOpen::TooShort);
    EXPECT_EQ(openRecord(keys, Bytes(18, 0x90), plain), RecordOpen::Failed);
    const Bytes one =
        client::sealRecord(keys, AeadVariant::KeyCs, AeadFraming::Offset1NoAad, 0, Bytes{'z'});
    EXPECT_EQ(one.size(), 18u);
    EXPECT_EQ(openRecord(keys, one, plain), RecordOpen::Opened);

    const NonceBase base = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(bytes(recordNonce(base, 0x01020304)),
              (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0x01, 0x02, 0x03, 0x04}));
}

} // namespace
} // namespace pointrelay::core
