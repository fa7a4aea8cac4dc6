// SPDX-License-Identifier: MIT
#include "chacha20.h"

#include "byte_order.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace pointrelay::crypto {
namespace {

inline uint32_t rotl(uint32_t v, int n) {
    return (v << n) | (v >> (32 - n));
}

inline void quarterRound(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
    a += b;
    d ^= a;
    d = rotl(d, 16);
    c += d;
    b ^= c;
    b = rotl(b, 12);
    a += b;
    d ^= a;
    d = rotl(d, 8);
    c += d;
    b ^= c;
    b = rotl(b, 7);
}

void setupState(uint32_t state[16], const ChaChaKey& key, uint32_t counter,
                const ChaChaNonce& nonce) {
    // "expand 32-byte k" (RFC 8439, 2.3)
    state[0] = 0x61707865;
    state[1] = 0x3320646e;
    state[2] = 0x79622d32;
    state[3] = 0x6b206574;
    for (int i = 0; i < 8; ++i)
        state[4 + i] = load32le(key.data() + 4 * i);
    state[12] = counter;
    for (int i = 0; i < 3; ++i)
        state[13 + i] = load32le(nonce.data() + 4 * i);
}

void blockFromState(const uint32_t input[16], uint8_t out[64]) {
    uint32_t x[16];
    std::memcpy(x, input, sizeof x);
    for (int round = 0; round < 10; ++round) { // 20 rounds: 10 column + 10 diagonal
        quarterRound(x[0], x[4], x[8], x[12]);
        quarterRound(x[1], x[5], x[9], x[13]);
        quarterRound(x[2], x[6], x[10], x[14]);
        quarterRound(x[3], x[7], x[11], x[15]);
        quarterRound(x[0], x[5], x[10], x[15]);
        quarterRound(x[1], x[6], x[11], x[12]);
        quarterRound(x[2], x[7], x[8], x[13]);
        quarterRound(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i)
        store32le(out + 4 * i, x[i] + input[i]);
}

} // namespace

void chacha20Block(const ChaChaKey& key, uint32_t counter, const ChaChaNonce& nonce,
                   std::span<uint8_t, 64> out) {
    uint32_t state[16];
    setupState(state, key, counter, nonce);
    blockFromState(state, out.data());
}

void chacha20Xor(const ChaChaKey& key, uint32_t counter, const ChaChaNonce& nonce,
                 std::span<const uint8_t> in, std::span<uint8_t> out) {
    assert(out.size() == in.size());
    uint32_t state[16];
    setupState(state, key, counter, nonce);
    uint8_t block[64];
    for (size_t offset = 0; offset < in.size(); offset += 64) {
        blockFromState(state, block);
        ++state[12];
        const size_t n = std::min<size_t>(64, in.size() - offset);
        for (size_t i = 0; i < n; ++i)
            out[offset + i] = in[offset + i] ^ block[i];
    }
}

} // namespace pointrelay::crypto
