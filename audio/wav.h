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

// How a repair ended. An input that cannot be taken, or a copy name that
// cannot be opened, is a refusal; an input that fails to read (a bad
// sector) is unreadable; a copy that was begun but could not be written out
// whole is a failure of the run's output.
enum class WavOutcome { Repaired, Refused, Unreadable, CopyFailed };

// Prints one line on every outcome but Repaired, and nothing on success.
// The input is only ever read, and the copy appears under its name only whole.
WavOutcome repairWav(const std::string& name);
// True exactly when repairWav repaired the file.
bool rewriteWavHeader(const std::string& name);
