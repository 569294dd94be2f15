# Cross build for the terminal: 32-bit little-endian MIPS, glibc (Debian 12's mipsel).
#
# Compilers: Debian's crossbuild-essential-mipsel. Headers and libraries: a sysroot unpacked
# from Debian's mipsel packages by scripts/mips-sysroot.sh. Nothing is taken from the host:
# libraries, headers and packages are searched in the sysroot only, pkg-config reads the
# sysroot's .pc files only. Programs (pkg-config, python) are the host's.
#
# The sysroot: -DNIMBO_MIPS_SYSROOT=..., else $NIMBO_MIPS_SYSROOT, else
# /var/cache/nimbo-mips/sysroot. Executables built here run under qemu-mipsel -L <sysroot>
# (CMAKE_CROSSCOMPILING_EMULATOR), which is how ctest runs the unit tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

if(NOT NIMBO_MIPS_SYSROOT)
  if(DEFINED ENV{NIMBO_MIPS_SYSROOT} AND NOT "$ENV{NIMBO_MIPS_SYSROOT}" STREQUAL "")
    set(NIMBO_MIPS_SYSROOT "$ENV{NIMBO_MIPS_SYSROOT}")
  else()
    set(NIMBO_MIPS_SYSROOT /var/cache/nimbo-mips/sysroot)
  endif()
endif()
set(NIMBO_MIPS_SYSROOT "${NIMBO_MIPS_SYSROOT}" CACHE PATH "mipsel sysroot (scripts/mips-sysroot.sh)")
if(NOT EXISTS "${NIMBO_MIPS_SYSROOT}/usr/include/mipsel-linux-gnu")
  message(FATAL_ERROR "No mipsel sysroot at ${NIMBO_MIPS_SYSROOT}: run scripts/mips-sysroot.sh")
endif()
# The terminal's libcurl (scripts/mips-curl.sh: HTTP/HTTPS, OpenSSL, zlib; the same release
# and symbol version as the sysroot's): -DNIMBO_MIPS_CURL=<its prefix>, else $NIMBO_MIPS_CURL.
# Unset or empty: Debian's libcurl of the sysroot.
if(NOT DEFINED NIMBO_MIPS_CURL AND DEFINED ENV{NIMBO_MIPS_CURL})
  set(NIMBO_MIPS_CURL "$ENV{NIMBO_MIPS_CURL}")
endif()
# try_compile projects read this file again: hand them the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NIMBO_MIPS_SYSROOT NIMBO_MIPS_CURL)
if(NIMBO_MIPS_CURL)
  if(NOT EXISTS "${NIMBO_MIPS_CURL}/usr/include/curl/curl.h")
    message(FATAL_ERROR "No libcurl at ${NIMBO_MIPS_CURL}: run scripts/mips-curl.sh")
  endif()
  set(NIMBO_MIPS_CURL "${NIMBO_MIPS_CURL}" CACHE PATH "the terminal's libcurl (scripts/mips-curl.sh)")
  # FindCURL takes these as found (no CURLConfig.cmake, no search in the sysroot).
  set(CURL_NO_CURL_CMAKE ON)
  set(CURL_INCLUDE_DIR "${NIMBO_MIPS_CURL}/usr/include" CACHE PATH "" FORCE)
  set(CURL_LIBRARY "${NIMBO_MIPS_CURL}/usr/lib/mipsel-linux-gnu/libcurl.so" CACHE FILEPATH "" FORCE)
elseif(CURL_LIBRARY AND NOT CURL_LIBRARY MATCHES "^${NIMBO_MIPS_SYSROOT}/")
  # Switched back to Debian's: forget the terminal's library found before.
  unset(CURL_LIBRARY CACHE)
  unset(CURL_INCLUDE_DIR CACHE)
endif()

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_SYSROOT "${NIMBO_MIPS_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${NIMBO_MIPS_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config: the sysroot's .pc files only, their paths prefixed with the sysroot.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${NIMBO_MIPS_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
  "${NIMBO_MIPS_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig:${NIMBO_MIPS_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

find_program(NIMBO_QEMU_MIPSEL qemu-mipsel)
if(NIMBO_QEMU_MIPSEL)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${NIMBO_QEMU_MIPSEL};-L;${NIMBO_MIPS_SYSROOT}")
endif()

# The terminal's flash is small: every function and object in its own section, and the linker
# drops what nothing references (about 30 KB of the program and the library; the exported
# symbols of the library and the program's exported utilities stay as they are).
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--gc-sections")
