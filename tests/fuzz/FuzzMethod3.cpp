// Fuzz target: the method-3 decompressor of uploaded audit blocks.
// The input is decompressed as a stream; a stream that decodes to N bytes
// must decode the same into a buffer of exactly N bytes (the announced length
// of a block) and fail with N - 1. The input is also compressed and must come
// back byte for byte. Output buffers are sized exactly, so that the address
// sanitizer sees any write past the capacity.
#include "audit/Method3Codec.h"
#include "tests/fuzz/FuzzEnv.h"

using fuzzenv::Require;

namespace {

// Far matches let a few input bytes produce about 255 times as many.
constexpr std::size_t kMaxOutput = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::vector<std::uint8_t> large(kMaxOutput);
    std::size_t produced = 0;
    if (auditcodec::Decompress(data, size, large.data(), large.size(), &produced)) {
        Require(produced <= large.size());
        std::vector<std::uint8_t> exact(produced);
        std::size_t again = 0;
        Require(auditcodec::Decompress(data, size, exact.data(), exact.size(), &again) && again == produced);
        Require(produced == 0 || std::memcmp(exact.data(), large.data(), produced) == 0);
        if (produced > 0) {
            std::vector<std::uint8_t> shorter(produced - 1);
            Require(!auditcodec::Decompress(data, size, shorter.data(), shorter.size(), nullptr));
        }
    }

    const std::vector<std::uint8_t> packed = auditcodec::Compress(data, size);
    std::vector<std::uint8_t> unpacked(size);
    std::size_t length = 0;
    Require(auditcodec::Decompress(packed.data(), packed.size(), unpacked.data(), unpacked.size(), &length));
    Require(length == size && (size == 0 || std::memcmp(unpacked.data(), data, size) == 0));
    return 0;
}
