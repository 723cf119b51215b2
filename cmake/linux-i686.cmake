# Linux on 32-bit x86, statically linked; see linux-cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PRORESCUE_CROSS_TRIPLE i686-linux-gnu)
set(PRORESCUE_DEB_ARCH i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
