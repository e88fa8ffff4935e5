// Method 3, the compression of audit file blocks: an LZ77 byte stream of
// literal runs and back-references, closed by an end marker. A gateway node
// sends each block of an uploaded audit file either stored (method 0) or in
// this form; the final writer decompresses it into a buffer of the block's
// announced uncompressed length before writing it to disk.
//
// Stream layout, one control byte t at a time (distances count back from the
// current end of the output; a match copies byte by byte, so a distance
// shorter than the length repeats the pattern):
//   literal run (at the start, after a match, after a long run):
//     t = 1..31           t literals follow
//     t = 0, u < 248      u + 32 literals (32..279)
//     t = 0, u = 248      280 literals, then a fresh control byte
//     t = 0, u > 248      256 << (u - 248) literals (512..32768), then a
//                         fresh control byte
//   short match (after a run of the t >= 1 or u < 248 kind, or after
//   another short match): t < 32, byte b: copy 3 bytes from distance
//     ((b << 5) | t) + 1, then one literal byte follows
//   near match: t >= 64, byte b: copy (t >> 5) + 1 bytes (3..8) from
//     distance ((b << 5) | (t & 31)) + 1 (1..8192)
//   far match: 32 <= t < 64: length (t & 31) + 3 (4..34), or, when t & 31
//     is 0, 255 per following 0 byte plus the first non-zero byte b plus 34;
//     then a 16-bit little-endian distance d: 1..65535, or 0 for the end
//     marker, whatever the length field said.
//
// Both functions are pure and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace auditcodec {

// Decompresses one method-3 stream of inLength bytes into out (capacity
// bytes). True only for a well-formed stream that ends with its end marker
// exactly at the end of the input; *produced receives the bytes written.
// Every read and write is bounds-checked: a truncated stream, output beyond
// capacity, a distance reaching before the output start, missing end marker,
// or input left after the end marker give false.
// On failure *produced holds the bytes written before the fault was found;
// produced may be null. O(inLength + output written).
bool Decompress(const std::uint8_t* in, std::size_t inLength, std::uint8_t* out, std::size_t capacity,
                std::size_t* produced);

// Compresses data into a method-3 stream (with its end marker) that
// Decompress reads back byte for byte. Greedy single-candidate matching, so
// roughly linear in length; an empty input gives the end marker alone.
std::vector<std::uint8_t> Compress(const std::uint8_t* data, std::size_t length);

}  // namespace auditcodec
