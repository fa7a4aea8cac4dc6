// SPDX-License-Identifier: MIT
// Writes the binary seed inputs of the frame reader and record opener targets into
// CORPUS_DIR/frame_reader and CORPUS_DIR/record_opener: well-formed streams and sealed frames
// under the fixed handshake, and a few near misses. The committed seeds were made with it;
// run it again when the wire format or the fixed handshake changes.
//   pointrelay_write_seeds fuzz/corpus
#include "core/frame.h"
#include "core/handshake.h"
#include "core/record.h"
#include "fixed_handshake.h"
#include "phone_client.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace pointrelay;
using Bytes = std::vector<uint8_t>;

void write(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes framed(std::initializer_list<Bytes> bodies) {
    Bytes out;
    for (const Bytes& body : bodies)
        core::appendFrame(out, body);
    return out;
}

Bytes text(std::string_view s) {
    Bytes out{static_cast<uint8_t>(core::FrameType::Text)};
    out.insert(out.end(), s.begin(), s.end());
    return out;
}

void writeFrameReaderSeeds(const std::filesystem::path& dir) {
    const core::HelloFrame helloFrame = core::buildHello(fuzz::kPsk, fuzz::kClientNonce);
    const Bytes hello(helloFrame.begin(), helloFrame.end());
    const Bytes move{0x11, 0x00, 0x02, 0xFF, 0xFE};
    const Bytes scroll{0x12, 0x00, 0x00, 0x00, 0x01};
    const Bytes click{0x13, 0x00, 0x01};
    const Bytes ping{0xFE};
    const auto keys = core::deriveSessionKeys(fuzz::kPsk, fuzz::kClientNonce, fuzz::kServerNonce);
    const std::string_view command = R"({"type":"sys","action":"copy"})";
    const Bytes sealed =
        client::sealRecord(keys, core::AeadVariant::TextCs, core::AeadFraming::Offset1NoAad, 0,
                           Bytes(command.begin(), command.end()));

    write(dir / "hello", framed({hello}));
    write(dir / "session", framed({hello, move, scroll, click, text("hi"), sealed, ping}));
    Bytes badMac = hello;
    badMac.back() ^= 1;
    write(dir / "hello_bad_mac", framed({badMac}));
    Bytes badVersion = hello;
    badVersion[5] = 2;
    write(dir / "hello_bad_version", framed({badVersion}));
    write(dir / "hello_short", framed({Bytes(hello.begin(), hello.end() - 1)}));
    // Larger than the session reader's first buffer, so it has to grow mid-frame.
    write(dir / "large_text", framed({hello, text(std::string(6000, 'x')), move}));
    write(dir / "length_zero", {0, 0, 0, 0});
    write(dir / "length_over_limit", {0, 1, 0, 0, 0x11});
    write(dir / "body_cut_short", {0, 0, 0, 10, 0x10, 'a', 'b'});
}

void writeRecordOpenerSeeds(const std::filesystem::path& dir) {
    const auto keys = core::deriveSessionKeys(fuzz::kPsk, fuzz::kClientNonce, fuzz::kServerNonce);
    const std::string_view plain = R"({"type":"move","dx":2,"dy":-1})";
    const Bytes plaintext(plain.begin(), plain.end());
    static constexpr const char* kVariantNames[] = {"text_cs", "text_sc", "key_cs", "key_sc"};
    static constexpr const char* kFramingNames[] = {"offset1", "offset1_aad", "offset2_aad"};
    for (uint8_t v = 0; v < 4; ++v) {
        for (uint8_t f = 0; f < 3; ++f) {
            const auto variant = core::kAllVariants[v];
            const auto framing = core::kAllFramings[f];
            const std::string name = std::string(kVariantNames[v]) + "_" + kFramingNames[f];
            // The first frame of a session: counter 0, no variant chosen yet.
            Bytes first{0};
            const Bytes body = client::sealRecord(keys, variant, framing, 0, plaintext);
            first.insert(first.end(), body.begin(), body.end());
            write(dir / (name + "_first"), first);
            // A later frame: counter 5, this variant chosen by earlier frames.
            Bytes later{static_cast<uint8_t>(5 << 3 | (v + 1))};
            const Bytes laterBody = client::sealRecord(keys, variant, framing, 5, plaintext);
            later.insert(later.end(), laterBody.begin(), laterBody.end());
            write(dir / (name + "_later"), later);
        }
    }
    write(dir / "too_short", {0, 0x90, 0x10, 1, 2, 3});
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path root = argv[1];
    for (const char* target : {"frame_reader", "record_opener"})
        std::filesystem::create_directories(root / target);
    writeFrameReaderSeeds(root / "frame_reader");
    writeRecordOpenerSeeds(root / "record_opener");
    return 0;
}
