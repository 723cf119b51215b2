// What the fuzz targets share: a private scratch working folder, a silenced
// stdout, and whole-file helpers that stay outside the tool's own file layer
// so that the harness never counts towards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz_support {

// Creates a fresh folder under TMPDIR, removed again at exit; returns its path.
const std::string& makeScratchFolder();

// Makes the scratch folder the working folder while alive. The fuzzer itself
// must keep its own working folder, where relative corpus and artifact paths
// given on its command line point.
struct InScratchFolder {
  InScratchFolder();
  ~InScratchFolder();
  InScratchFolder(const InScratchFolder&) = delete;
  InScratchFolder& operator=(const InScratchFolder&) = delete;
  int previous = -1;
};
// The tool prints a line per frame and per section; nobody reads them here.
void silenceStdout();

bool writeWhole(const std::string& path, const uint8_t* data, size_t size);
bool readWhole(const std::string& path, std::vector<uint8_t>& into);
bool exists(const std::string& path);
// Removes every entry of the working folder except those named in keep.
void removeAllBut(const std::vector<std::string>& keep);

// Stops the fuzzer with a report when an invariant of the tool is broken.
[[noreturn]] void invariantBroken(const char* what);

}  // namespace fuzz_support
