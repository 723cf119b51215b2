# macOS on Apple silicon, built with zig; see zig-macos.cmake.
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(PRORESCUE_ZIG_TARGET aarch64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)
