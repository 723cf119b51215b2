# Linux on IBM Z (big-endian), statically linked; see linux-cross.cmake.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(PRORESCUE_CROSS_TRIPLE s390x-linux-gnu)
set(PRORESCUE_DEB_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
