# aarch64-linux-gnu.cmake: cross-builds for Linux on 64-bit Arm with Debian's cross compiler; the
# native tests and the interpreter queried for the module's suffix run under qemu-user, which finds
# the arm64 libraries Debian installs beside the machine's own (multiarch). Pointing qemu at the
# cross toolchain's sysroot with -L instead makes forked children spin forever under Debian 12's
# qemu 7.2.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
