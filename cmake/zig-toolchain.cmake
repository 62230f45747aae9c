# The wheels' toolchain: zig's clang and libc++ for one target, against an
# older glibc on Linux (scripts/zig_wrappers.sh writes the compiler wrappers
# into ORVELLE_ZIG_DIR; ORVELLE_ZIG_ARCH names the processor and
# ORVELLE_ZIG_SYSTEM the system, Linux unless set). A static third-party
# library built with the same wrappers, or with this file as its CMake
# toolchain, links into the module the same way on every target.
if(DEFINED ENV{ORVELLE_ZIG_SYSTEM})
  set(CMAKE_SYSTEM_NAME $ENV{ORVELLE_ZIG_SYSTEM})
else()
  set(CMAKE_SYSTEM_NAME Linux)
endif()
set(CMAKE_SYSTEM_PROCESSOR $ENV{ORVELLE_ZIG_ARCH})
set(CMAKE_C_COMPILER $ENV{ORVELLE_ZIG_DIR}/cc)
set(CMAKE_CXX_COMPILER $ENV{ORVELLE_ZIG_DIR}/c++)
set(CMAKE_AR $ENV{ORVELLE_ZIG_DIR}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB $ENV{ORVELLE_ZIG_DIR}/ranlib CACHE FILEPATH "")
# A compile check builds static libraries only: the compiler tests need not
# link (nor zig build libc++ for them).
if(DEFINED ENV{ORVELLE_ZIG_COMPILE_ONLY})
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  # Nor is anything installed: Darwin's install_name_tool, which CMake asks
  # for once a second language (the compression libraries' C) comes in, has
  # nothing to do.
  set(CMAKE_INSTALL_NAME_TOOL /bin/true CACHE FILEPATH "")
else()
  # zig's libc++ comes with debug information, which the module sheds after
  # the link, keeping its symbol table: llvm-objcopy reads every target (zig's
  # own objcopy cannot yet, and its linker's --strip-debug strips everything).
  find_program(ORVELLE_OBJCOPY llvm-objcopy REQUIRED)
endif()
# The wrappers fix the CPU (-mcpu=baseline); CMakeLists.txt adds no -march.
set(ORVELLE_TOOLCHAIN_CPU ON)
