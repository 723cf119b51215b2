# Shared part of the macOS builds, cross-compiled with zig's clang driver,
# which brings macOS's C library headers and a Mach-O linker; each
# cmake/macos-<arch>.cmake names its zig target and includes this file. The
# builds can be checked here but not run; scripts/macos-build.sh joins the
# two into one universal binary.
set(CMAKE_SYSTEM_NAME Darwin)

# ZIG_DIR points at the folder holding zig (scripts/macos-build.sh installs
# it with npm); the environment is read so that CMake's own test projects,
# which run this file again, find it too.
find_program(PRORESCUE_ZIG NAMES zig HINTS "$ENV{ZIG_DIR}" REQUIRED)
set(CMAKE_CXX_COMPILER "${PRORESCUE_ZIG}" c++ -target ${PRORESCUE_ZIG_TARGET})

# zig's linker reads archives from any ar; llvm's names the Mach-O tools.
find_program(CMAKE_AR NAMES llvm-ar llvm-ar-14 llvm-ar-15 llvm-ar-16 REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib llvm-ranlib-14 llvm-ranlib-15 llvm-ranlib-16 REQUIRED)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
