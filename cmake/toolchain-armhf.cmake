# SPDX-License-Identifier: MIT
# Cross-building for the camera's processor: 32-bit ARM, hard-float (Debian's armhf: ARMv7-A,
# VFPv3-D16, Thumb-2), run on this machine under qemu-arm.
#
#   cmake -S . -B build-armhf --toolchain cmake/toolchain-armhf.cmake
#
# Needs: g++-arm-linux-gnueabihf, libglib2.0-dev:armhf, and for the tests libgtest-dev:armhf,
# libstdc++6:armhf and qemu-user; ./scripts/test --target armhf installs them.

set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUADVIEW_CROSS_TRIPLET arm-linux-gnueabihf)
set(QUADVIEW_CROSS_NAME armhf)
set(QUADVIEW_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-multiarch.cmake)
