#pragma once

#include <cstdint>

// Byte layout of the VRX container (all little-endian).
//
//   header (40 bytes): "QVRX", u16 major, u16 minor, u32 flags (bit 0: compressed),
//       u32 reserved, u64 container length, u64 TOC offset, u32 TOC count, u32 CRC-32 of
//       the 36 bytes before it
//   chunks: char[4] type, u32 index, u64 payload length, u32 payload CRC-32, u32 reserved,
//       payload, zero padding to a multiple of 8
//   TOC: per chunk char[4] type, u32 index, u64 offset of the chunk header, u64 payload
//       length; then u32 CRC-32 of the entries. The TOC ends the container.
//   appendix: any bytes after the container length (calibration records).
namespace CIAPI::vrx::format {

constexpr char kMagic[4] = { 'Q', 'V', 'R', 'X' };
constexpr std::uint32_t kHeaderSize = 40;
constexpr std::uint32_t kHeaderCrcOffset = 36;
constexpr std::uint32_t kChunkHeaderSize = 24;
constexpr std::uint32_t kTocEntrySize = 24;
constexpr std::uint32_t kFlagCompressed = 1u;

constexpr std::uint32_t kMetaSize = 88;
constexpr std::uint32_t kModuleSize = 80;
constexpr std::uint32_t kFrameHeaderSize
    = 32; // i32 module, frame, width, height, encoding, reserved; u64 decoded bytes
constexpr std::uint32_t kDepthHeaderSize
    = 32; // i32 width, height; f32 near, far; i32 encoding, reserved; u64 decoded bytes
constexpr std::uint32_t kPreviewHeaderSize = 8; // i32 width, height

} // namespace CIAPI::vrx::format
