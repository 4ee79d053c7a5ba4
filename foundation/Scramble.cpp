#include "foundation/Scramble.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "foundation/TextUtils.h"

namespace tq {

namespace {

constexpr size_t kBlock = 100;

// Fixed for good: every stored password depends on these bytes.
constexpr std::array<uint8_t, kBlock> kKey = {
    0x04, 0x54, 0x1f, 0xed, 0x73, 0xf5, 0x24, 0x41, 0x53, 0x1e,
    0x9f, 0x8e, 0xd8, 0x99, 0x8c, 0x6c, 0x30, 0x7e, 0x06, 0x09,
    0x5e, 0x3a, 0x72, 0x90, 0xbe, 0xdf, 0xcb, 0xb2, 0x60, 0xf7,
    0x2a, 0x2a, 0x24, 0x9b, 0xcb, 0x79, 0x52, 0x27, 0x6b, 0x8b,
    0x57, 0x6a, 0xdb, 0xe6, 0x65, 0xa6, 0xed, 0xc5, 0x1a, 0x55,
    0xb8, 0xb6, 0xf8, 0xcc, 0x21, 0xaa, 0xf6, 0xd4, 0x93, 0x7a,
    0x43, 0x11, 0xd0, 0xc1, 0x07, 0x4f, 0x0e, 0x65, 0x65, 0x58,
    0xee, 0x7d, 0x23, 0x14, 0xa3, 0x3c, 0x74, 0x06, 0x23, 0xa7,
    0x88, 0x89, 0x86, 0xad, 0xdc, 0xc6, 0x09, 0x9c, 0x50, 0x68,
    0x43, 0x46, 0x12, 0xb2, 0xfc, 0x69, 0x9a, 0x2f, 0xc2, 0xf2,
};

const char kHex[] = "0123456789abcdef";

} // namespace

std::string ScrambleText(std::string_view text) {
    if (text.empty()) return {};
    std::array<uint8_t, kBlock> block{};
    std::copy_n(text.begin(), std::min(text.size(), kBlock), block.begin());
    std::reverse(block.begin(), block.end());
    std::string r;
    r.reserve(2 * kBlock + 1);
    for (size_t i = 0; i < kBlock; ++i) {
        const uint8_t b = block[i] ^ kKey[i];
        r += kHex[b >> 4];
        r += kHex[b & 15];
    }
    r += '3';
    return r;
}

std::string UnscrambleText(std::string_view text) {
    if (text.size() != 2 * kBlock + 1 || text.back() != '3') return {};
    std::array<uint8_t, kBlock> block{};
    for (size_t i = 0; i < kBlock; ++i) {
        uint8_t b = 0;
        if (!HexPairToByte(text[2 * i], text[2 * i + 1], b)) return {};
        block[i] = b ^ kKey[i];
    }
    std::reverse(block.begin(), block.end());
    const auto end = std::find(block.begin(), block.end(), uint8_t{0});
    return std::string(block.begin(), end);
}

} // namespace tq
