// Byte order lives here and nowhere else: every multi-byte number that the
// tool reads or writes goes through these helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using Bytes = std::vector<uint8_t>;
using FourCC = uint32_t;

// The first character is the most significant byte, so the code reads in
// character order when stored big-endian.
constexpr FourCC fourCC(const char (&text)[5]) {
  return (static_cast<uint32_t>(static_cast<uint8_t>(text[0])) << 24) |
         (static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 8) |
         static_cast<uint32_t>(static_cast<uint8_t>(text[3]));
}

inline void put8(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
}

inline void put16be(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

inline void put32be(Bytes& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

inline void put64be(Bytes& out, uint64_t value) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

inline void putZeros(Bytes& out, size_t count) {
  out.insert(out.end(), count, 0);
}

inline void store32be(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

inline void store16be(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}

inline void store16le(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

inline void store32le(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
  at[3] = static_cast<uint8_t>(value >> 24);
}

inline uint32_t get16be(const uint8_t* at) {
  return (static_cast<uint32_t>(at[0]) << 8) | at[1];
}

inline uint32_t get32be(const uint8_t* at) {
  return (static_cast<uint32_t>(at[0]) << 24) | (static_cast<uint32_t>(at[1]) << 16) |
         (static_cast<uint32_t>(at[2]) << 8) | at[3];
}

inline uint64_t get64be(const uint8_t* at) {
  return (static_cast<uint64_t>(get32be(at)) << 32) | get32be(at + 4);
}

inline uint32_t get16le(const uint8_t* at) {
  return at[0] | (static_cast<uint32_t>(at[1]) << 8);
}

inline uint32_t get32le(const uint8_t* at) {
  return at[0] | (static_cast<uint32_t>(at[1]) << 8) | (static_cast<uint32_t>(at[2]) << 16) |
         (static_cast<uint32_t>(at[3]) << 24);
}

// The same 32 bits read as a two's-complement number, as the files and the
// messages mean them; defined for every value, unlike a narrowing cast.
inline int32_t asSigned32(uint32_t value) {
  int32_t result;
  std::memcpy(&result, &value, sizeof result);
  return result;
}

// The same 32 bits read as an IEEE single-precision float.
inline float asFloat32(uint32_t value) {
  float result;
  std::memcpy(&result, &value, sizeof result);
  return result;
}
