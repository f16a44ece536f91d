// Constants and checksum of the saved-state format that Quorin::save writes (described
// field by field in src/saved_state.cpp), for tests and tools that edit saved bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorin {
namespace saved_state {

// Format versions this build reads: 1, and 2, which adds the count of configurations put
// back. It writes version 1 for every state that has none, version 2 for the others.
constexpr std::uint32_t kFirstFormatVersion = 1;
constexpr std::uint32_t kFormatVersion = 2;
// Header fields, by byte offset; the payload starts at kHeaderBytes.
constexpr std::size_t kVersionOffset = 8;
constexpr std::size_t kRankBytesOffset = 12;
constexpr std::size_t kRowBytesOffset = 13;
constexpr std::size_t kFlagsOffset = 14;
constexpr std::size_t kSizeOffset = 16;
constexpr std::size_t kHeaderBytes = 24;
// The checksum closes the saved bytes.
constexpr std::size_t kChecksumBytes = 8;
constexpr unsigned kFlagCache = 1;
constexpr unsigned kFlagExhausted = 2;

// The checksum of data[0 .. size): four independent multiply-xor lanes over
// little-endian 64-bit words, then the length, so any one changed byte changes it.
std::uint64_t checksum(const unsigned char* data, std::size_t size);

// Rewrites the size field and the checksum of saved bytes after they were edited.
// Requires bytes.size() >= kHeaderBytes + kChecksumBytes.
void reseal(std::vector<unsigned char>& bytes);

}  // namespace saved_state
}  // namespace quorin
