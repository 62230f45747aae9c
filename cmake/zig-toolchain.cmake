# The wheels' toolchain: zig's clang and libc++, for one architecture against
# an older glibc (scripts/build_wheel.sh writes the compiler wrappers into
# ORVELLE_ZIG_DIR and names the architecture in ORVELLE_ZIG_ARCH). A static
# third-party library built with the same wrappers, or with this file as its
# CMake toolchain, links into the module the same way on both architectures.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $ENV{ORVELLE_ZIG_ARCH})
set(CMAKE_C_COMPILER $ENV{ORVELLE_ZIG_DIR}/cc)
set(CMAKE_CXX_COMPILER $ENV{ORVELLE_ZIG_DIR}/c++)
set(CMAKE_AR $ENV{ORVELLE_ZIG_DIR}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB $ENV{ORVELLE_ZIG_DIR}/ranlib CACHE FILEPATH "")
# The wrappers fix the CPU (-mcpu=baseline); CMakeLists.txt adds no -march.
set(ORVELLE_TOOLCHAIN_CPU ON)
