// The tool that the process-driving tests run: the one built beside them, or
// another build named by PRORESCUE_TOOL (a cross build), run through
// PRORESCUE_TOOL_EMULATOR when that is set (qemu-user for a foreign CPU).
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace testing_support {

struct ToolCommand {
  std::string emulator;  // empty: the tool runs natively
  std::string binary;
};

// Read before forking, so that the child only has to exec.
inline ToolCommand toolCommand() {
  ToolCommand command;
  const char* tool = std::getenv("PRORESCUE_TOOL");
  command.binary = tool != nullptr && *tool != '\0' ? tool : PRORESCUE_BIN;
  const char* emulator = std::getenv("PRORESCUE_TOOL_EMULATOR");
  if (emulator != nullptr) command.emulator = emulator;
  return command;
}

// Replaces the calling process with the tool; returns only when exec failed.
inline void execTool(const ToolCommand& command) {
  if (command.emulator.empty()) {
    ::execl(command.binary.c_str(), "prorescue", static_cast<char*>(nullptr));
  } else {
    ::execlp(command.emulator.c_str(), command.emulator.c_str(), command.binary.c_str(),
             static_cast<char*>(nullptr));
  }
}

}  // namespace testing_support
