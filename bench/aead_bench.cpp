// SPDX-License-Identifier: MIT
// Opening one sealed 64-byte text frame: our ChaCha20-Poly1305 against OpenSSL's.
#include "core/crypto/aead.h"
#include "core/record.h"
#include "figure.h"
#include "phone_client.h"

#include <benchmark/benchmark.h>
#include <map>
#include <memory>
#include <openssl/evp.h>
#include <vector>

namespace pointrelay::bench {
namespace {

// A 64-byte AEAD frame body: the type byte, 47 bytes of ciphertext and the 16-byte tag.
constexpr size_t kFrameSize = 64;
constexpr size_t kTextSize = kFrameSize - 1 - core::kAeadTagSize;
constexpr size_t kFrames = 4096; // distinct counters, so every open is a fresh record

core::SessionKeys sessionKeys() {
    core::SessionKeys keys;
    for (size_t i = 0; i < 32; ++i) {
        keys.textCs[i] = static_cast<uint8_t>(i * 7 + 1);
        keys.textSc[i] = static_cast<uint8_t>(i * 11 + 2);
        keys.keyCs[i] = static_cast<uint8_t>(i * 13 + 3);
        keys.keySc[i] = static_cast<uint8_t>(i * 17 + 4);
    }
    for (size_t i = 0; i < 12; ++i) {
        keys.nonceBaseCs[i] = static_cast<uint8_t>(0xA0 + i);
        keys.nonceBaseSc[i] = static_cast<uint8_t>(0xB0 + i);
    }
    return keys;
}

const std::vector<std::vector<uint8_t>>& sealedFrames() {
    static const auto frames = [] {
        const auto keys = sessionKeys();
        std::vector<uint8_t> text(kTextSize);
        const char command[] = R"({"type":"text","text":"hello, pointer world"})";
        std::copy(command, command + std::min(sizeof command - 1, kTextSize), text.begin());
        std::vector<std::vector<uint8_t>> out;
        for (uint32_t counter = 0; counter < kFrames; ++counter)
            out.push_back(client::sealRecord(keys, core::AeadVariant::TextCs,
                                             core::AeadFraming::Offset1NoAad, counter, text));
        return out;
    }();
    return frames;
}

std::array<uint8_t, 12> nonceOf(uint32_t counter) {
    return core::recordNonce(sessionKeys().nonceBaseCs, counter);
}

void oursAeadOpen(benchmark::State& state) {
    const auto& frames = sealedFrames();
    const auto key = sessionKeys().textCs;
    std::vector<std::array<uint8_t, 12>> nonces;
    for (uint32_t i = 0; i < kFrames; ++i)
        nonces.push_back(nonceOf(i));
    std::array<uint8_t, kTextSize> plaintext;
    size_t i = 0;
    for (auto _ : state) {
        const auto& frame = frames[i];
        const bool ok = crypto::aeadOpen(
            key, nonces[i], {}, std::span(frame).subspan(1, kTextSize),
            std::span<const uint8_t, 16>(frame.data() + 1 + kTextSize, 16), plaintext);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(plaintext);
        i = (i + 1) % kFrames;
    }
}

// What a session does per AEAD frame: the framing check, the nonce from the record counter,
// the open, the plaintext into the session's buffer.
void oursOpenRecord(benchmark::State& state) {
    const auto& frames = sealedFrames();
    auto keys = sessionKeys();
    keys.chosenVariant = core::AeadVariant::TextCs;
    std::vector<uint8_t> plaintext;
    size_t i = 0;
    for (auto _ : state) {
        if (i == 0)
            keys.rxCounter = 0;
        const auto result = core::openRecord(keys, frames[i], plaintext);
        benchmark::DoNotOptimize(result);
        i = (i + 1) % kFrames;
    }
}

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// OpenSSL's fastest way per record: the key is set once, each record sets only its nonce.
void opensslAeadOpen(benchmark::State& state) {
    const auto& frames = sealedFrames();
    const auto key = sessionKeys().textCs;
    std::vector<std::array<uint8_t, 12>> nonces;
    for (uint32_t i = 0; i < kFrames; ++i)
        nonces.push_back(nonceOf(i));
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter> ctx(EVP_CIPHER_CTX_new());
    EVP_DecryptInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, nullptr, nullptr);
    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, 12, nullptr);
    EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nullptr);
    std::array<uint8_t, kTextSize> plaintext;
    size_t i = 0;
    for (auto _ : state) {
        const auto& frame = frames[i];
        int length = 0;
        bool ok = EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, nonces[i].data()) == 1;
        ok &= EVP_DecryptUpdate(ctx.get(), plaintext.data(), &length, frame.data() + 1,
                                static_cast<int>(kTextSize)) == 1;
        ok &= EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, 16,
                                  const_cast<uint8_t*>(frame.data() + 1 + kTextSize)) == 1;
        ok &= EVP_DecryptFinal_ex(ctx.get(), plaintext.data() + length, &length) == 1;
        if (!ok)
            state.SkipWithError("OpenSSL refused a frame it should open");
        benchmark::DoNotOptimize(plaintext);
        i = (i + 1) % kFrames;
    }
}

BENCHMARK(oursAeadOpen)->MinTime(0.5);
BENCHMARK(oursOpenRecord)->MinTime(0.5);
BENCHMARK(opensslAeadOpen)->MinTime(0.5);

// Keeps the time per operation of every run, as well as showing the usual table.
class Collector : public benchmark::ConsoleReporter {
public:
    Collector() : ConsoleReporter(OO_Tabular) {} // no colours: the output goes into logs too
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs)
            if (!run.error_occurred && run.time_unit == benchmark::kNanosecond)
                nanoseconds[run.run_name.function_name] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> nanoseconds;
};

} // namespace
} // namespace pointrelay::bench

int main(int argc, char** argv) {
    using namespace pointrelay::bench;
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    const double openssl = collector.nanoseconds["opensslAeadOpen"];
    heading("AEAD open of a 64-byte text frame (time per frame; lower is better)");
    for (const auto& [name, label] :
         {std::pair{"oursAeadOpen", "ours: crypto::aeadOpen"},
          std::pair{"oursOpenRecord", "ours: core::openRecord (session path)"}}) {
        const double ours = collector.nanoseconds[name];
        print({label, ours, "ns", "OpenSSL EVP ChaCha20-Poly1305", openssl, "ratio <= 1.5",
               openssl > 0 && ours / openssl <= 1.5});
    }
    return figuresStatus();
}
