# Linux on 32-bit ARM (hard float), statically linked; see linux-cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(PRORESCUE_CROSS_TRIPLE arm-linux-gnueabihf)
set(PRORESCUE_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
