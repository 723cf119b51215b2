# Shared part of the Linux cross builds made with Debian's cross compilers
# (g++-<triple>); each cmake/linux-<arch>.cmake names its triple and the
# Debian architecture of its package, then includes this file. The tool is
# linked statically so that one binary runs on any distribution of that
# architecture, and under qemu-user without a foreign C library beside it.
set(CMAKE_SYSTEM_NAME Linux)

find_program(CMAKE_CXX_COMPILER NAMES ${PRORESCUE_CROSS_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_AR NAMES ${PRORESCUE_CROSS_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${PRORESCUE_CROSS_TRIPLE}-ranlib)
find_program(CMAKE_STRIP NAMES ${PRORESCUE_CROSS_TRIPLE}-strip)

set(CMAKE_FIND_ROOT_PATH /usr/${PRORESCUE_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(PRORESCUE_STATIC ON CACHE BOOL "Link the tool statically")
