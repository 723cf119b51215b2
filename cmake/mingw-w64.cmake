# Cross-compiles the Windows prorescue.exe with Debian's MinGW-w64 (x86-64).
# The executable is linked statically so it runs with no extra DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PRORESCUE_MINGW_PREFIX x86_64-w64-mingw32)
# The posix-threads flavour carries std::mutex and std::thread; the win32 one may not.
find_program(CMAKE_CXX_COMPILER NAMES ${PRORESCUE_MINGW_PREFIX}-g++-posix ${PRORESCUE_MINGW_PREFIX}-g++
             REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${PRORESCUE_MINGW_PREFIX}-gcc-posix ${PRORESCUE_MINGW_PREFIX}-gcc)
find_program(CMAKE_AR NAMES ${PRORESCUE_MINGW_PREFIX}-ar)
find_program(CMAKE_RANLIB NAMES ${PRORESCUE_MINGW_PREFIX}-ranlib)

set(CMAKE_FIND_ROOT_PATH /usr/${PRORESCUE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Unicode Windows API by default, and nothing of the old headers' min/max macros.
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
