# SPDX-License-Identifier: MIT
# Cross-building for 64-bit ARM (Debian's arm64: ARMv8-A), run on this machine under qemu-aarch64.
#
#   cmake -S . -B build-arm64 --toolchain cmake/toolchain-arm64.cmake
#
# Needs: g++-aarch64-linux-gnu, libglib2.0-dev:arm64, and for the tests libgtest-dev:arm64,
# libstdc++6:arm64 and qemu-user; ./scripts/test --target arm64 installs them.

set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUADVIEW_CROSS_TRIPLET aarch64-linux-gnu)
set(QUADVIEW_CROSS_NAME arm64)
set(QUADVIEW_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-multiarch.cmake)
