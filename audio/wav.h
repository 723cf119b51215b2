// Audio repair: a copy of a recording's WAV file under "r_" + name, with the
// first 44 bytes replaced by a fixed mono 16-bit 48 kHz PCM header.
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t kWavHeaderSize = 44;

// Writes the canonical header for a file of fileSize bytes into header[0..43].
// Only the two size fields depend on fileSize; a size below the header's own
// declares no data rather than wrapping around.
void fillCanonicalWavHeader(uint8_t* header, uint32_t fileSize);

// Prints one line and returns false on every failure; prints nothing on success.
// The input is only ever read, and the copy appears under its name only whole.
bool rewriteWavHeader(const std::string& name);
