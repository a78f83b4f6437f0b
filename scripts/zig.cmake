# A CMake toolchain file that cross-builds orv with the C++ driver of Zig
# 0.11.0 (scripts/get-zig fetches it): static musl binaries for Linux,
# Mach-O for macOS.
#   cmake -S . -B DIR -DCMAKE_TOOLCHAIN_FILE=scripts/zig.cmake \
#         -DORV_ZIG=/path/to/zig -DORV_ZIG_TARGET=aarch64-linux-musl
# ORV_ZIG_TARGET is one of x86_64-linux-musl, aarch64-linux-musl,
# arm-linux-musleabihf, riscv64-linux-musl, powerpc64-linux-musl,
# x86_64-macos and aarch64-macos. zig keeps what it builds in
# ZIG_GLOBAL_CACHE_DIR.
#
# zig builds the C library and the compiler's runtime for each target and
# each set of link flags, so the link flags are fixed here and CMake's checks
# compile without linking: each target's libraries are built once.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORV_ZIG ORV_ZIG_TARGET)
if(NOT ORV_ZIG OR NOT ORV_ZIG_TARGET)
  message(FATAL_ERROR "scripts/zig.cmake needs -DORV_ZIG=path/to/zig and -DORV_ZIG_TARGET=target")
endif()

string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${ORV_ZIG_TARGET}")
if(ORV_ZIG_TARGET MATCHES "-macos$")
  set(CMAKE_SYSTEM_NAME Darwin)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CMAKE_SYSTEM_PROCESSOR arm64) # the name macOS gives it
  endif()
  set(orv_zig_link_flags "")
else()
  set(CMAKE_SYSTEM_NAME Linux)
  # Static and position independent (static-pie), with its relocations made
  # read-only once applied.
  set(orv_zig_link_flags "-static -pie -Wl,-z,relro -Wl,-z,now")
  # The compiler's and the linker's names (.comment) are of no use in a
  # program: the linker drops them.
  file(WRITE "${CMAKE_BINARY_DIR}/orv-no-comment.ld" "SECTIONS { /DISCARD/ : { *(.comment) } } INSERT AFTER .text;\n")
  string(APPEND orv_zig_link_flags " -Wl,-T,${CMAKE_BINARY_DIR}/orv-no-comment.ld")
endif()

set(CMAKE_CXX_COMPILER "${ORV_ZIG}" c++)
# 32-bit ARM with hard float is built for the ARMv6 with VFP of the first
# Raspberry Pi, so that it runs there and on every later ARM: orv, musl and
# the compiler's runtime alike, whatever flags a build adds.
if(ORV_ZIG_TARGET MATCHES "^arm-")
  list(APPEND CMAKE_CXX_COMPILER -mcpu=arm1176jzf_s)
endif()
set(CMAKE_CXX_COMPILER_TARGET "${ORV_ZIG_TARGET}")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# zig refuses the linker's -v that CMake adds when it looks at the compiler.
set(CMAKE_CXX_VERBOSE_COMPILE_FLAG "-v")
# orv needs nothing from the C++ library (no exceptions, no RTTI, no heap),
# and zig would build libc++ for it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostdlib++ -s ${orv_zig_link_flags}")

