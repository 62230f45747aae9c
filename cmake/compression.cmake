# Compressed feature files: libzstd and zlib, linked into orvelle_core.
#
# ORVELLE_COMPRESSION_SOURCES names a folder holding both libraries' sources
# (scripts/compression_sources.sh writes one): their decoders are then compiled
# here, with this build's compiler, flags and target, and linked in. The
# wheels do that: the module needs neither library on the user's machine, and
# a cross build needs no libraries for its target.
#
# Otherwise the system's: libzstd from its static archive, so the module needs
# no zstd on the user's machine; zlib's archive is not built for a shared
# object on every system, and libz.so.1 is on every Linux (the manylinux
# policies list it), so zlib comes from there.
set(ORVELLE_COMPRESSION_SOURCES "" CACHE PATH "Build libzstd and zlib from the sources in this folder (zstd/, zlib/)")

if(ORVELLE_COMPRESSION_SOURCES)
  enable_language(C)
  set(zstd ${ORVELLE_COMPRESSION_SOURCES}/zstd/lib)
  set(zlib ${ORVELLE_COMPRESSION_SOURCES}/zlib)
  if(NOT EXISTS ${zstd}/zstd.h OR NOT EXISTS ${zlib}/zlib.h)
    message(FATAL_ERROR "no zstd/lib/zstd.h or zlib/zlib.h in ${ORVELLE_COMPRESSION_SOURCES}")
  endif()
  # Decoding only. libzstd's x86-64 Huffman loops are assembly, entered where
  # its own check finds BMI2, like its C copies for BMI2.
  file(GLOB zstd_sources ${zstd}/common/*.c ${zstd}/decompress/*.c)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND NOT APPLE)
    enable_language(ASM)
    list(APPEND zstd_sources ${zstd}/decompress/huf_decompress_amd64.S)
  else()
    set(zstd_no_asm ZSTD_DISABLE_ASM)
  endif()
  add_library(orvelle_zstd STATIC ${zstd_sources})
  target_include_directories(orvelle_zstd SYSTEM PUBLIC ${zstd})
  # No legacy frames (their magic numbers read as plain text anyway), no
  # threads, and no tracing hooks: those are weak symbols left for the
  # loader to fill.
  target_compile_definitions(orvelle_zstd PRIVATE ZSTD_LEGACY_SUPPORT=0 ZSTD_MULTITHREAD=0 ZSTD_TRACE=0
    XXH_NAMESPACE=ZSTD_ ${zstd_no_asm})
  target_compile_options(orvelle_zstd PRIVATE -w)

  add_library(orvelle_zlib STATIC ${zlib}/adler32.c ${zlib}/crc32.c ${zlib}/inffast.c ${zlib}/inflate.c
    ${zlib}/inftrees.c ${zlib}/zutil.c)
  target_include_directories(orvelle_zlib SYSTEM PUBLIC ${zlib})
  target_compile_options(orvelle_zlib PRIVATE -w)
  # zlib 1.2.13 takes Apple's TARGET_OS_MAC for classic Mac OS and hides
  # fdopen behind a macro, which stdio.h's declaration then trips on; a
  # defined fdopen keeps it out.
  if(APPLE)
    target_compile_definitions(orvelle_zlib PRIVATE fdopen=fdopen)
  endif()

  target_link_libraries(orvelle_core PUBLIC orvelle_zstd orvelle_zlib)
  message(STATUS "orvelle: libzstd and zlib built from ${ORVELLE_COMPRESSION_SOURCES}")
else()
  find_path(ZSTD_INCLUDE_DIR zstd.h)
  find_library(ZSTD_STATIC_LIBRARY NAMES libzstd.a)
  find_library(ZSTD_LIBRARY NAMES zstd)
  find_package(ZLIB REQUIRED)
  if(NOT ZSTD_INCLUDE_DIR OR NOT (ZSTD_STATIC_LIBRARY OR ZSTD_LIBRARY))
    message(FATAL_ERROR "libzstd not found: install the Debian package libzstd-dev (apt-get install libzstd-dev)")
  endif()
  target_include_directories(orvelle_core PRIVATE ${ZSTD_INCLUDE_DIR})
  if(ZSTD_STATIC_LIBRARY)
    target_link_libraries(orvelle_core PUBLIC ${ZSTD_STATIC_LIBRARY})
  else()
    target_link_libraries(orvelle_core PUBLIC ${ZSTD_LIBRARY})
  endif()
  target_link_libraries(orvelle_core PUBLIC ZLIB::ZLIB)
endif()
