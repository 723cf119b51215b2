# Linux on 64-bit ARM, statically linked; see linux-cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PRORESCUE_CROSS_TRIPLE aarch64-linux-gnu)
set(PRORESCUE_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
