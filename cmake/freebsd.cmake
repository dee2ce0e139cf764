# SPDX-License-Identifier: BSD-2-Clause
# Cross-builds the tool for FreeBSD 14.0 and later with Zig, which ships
# FreeBSD's libc headers and link stubs and builds libc++ for the target:
#
#   python3 -m venv zigenv && zigenv/bin/pip install --require-hashes -r cmake/ziglang-requirements.txt
#   PATH=$PWD/zigenv/bin:$PATH cmake -S . -B build-freebsd \
#       -DCMAKE_TOOLCHAIN_FILE=cmake/freebsd.cmake -DMORLVANE_FREEBSD_ARCH=aarch64 \
#       -DBUILD_TESTING=OFF -DMORLVANE_BENCH=OFF -DMORLVANE_FUZZ=OFF
#
# MORLVANE_FREEBSD_ARCH is x86_64 (the default) or aarch64; the wrappers
# beside this file find Zig through the python3 on PATH, at every step.
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 14.0)
if(NOT MORLVANE_FREEBSD_ARCH)
  set(MORLVANE_FREEBSD_ARCH x86_64)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MORLVANE_FREEBSD_ARCH)
# CMAKE_SYSTEM_PROCESSOR as a native build has it, from FreeBSD's uname -p.
if(MORLVANE_FREEBSD_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR amd64)
elseif(MORLVANE_FREEBSD_ARCH STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
else()
  message(FATAL_ERROR "MORLVANE_FREEBSD_ARCH is x86_64 or aarch64, not ${MORLVANE_FREEBSD_ARCH}")
endif()

set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
set(CMAKE_CXX_COMPILER_TARGET ${MORLVANE_FREEBSD_ARCH}-freebsd.14.0)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig-ranlib CACHE FILEPATH "")

# The tool needs nothing from the target beyond what Zig brings; a root that
# does not exist keeps every host library, header and package (GoogleTest)
# out of the search, while programs still come from the host.
set(CMAKE_FIND_ROOT_PATH ${CMAKE_CURRENT_LIST_DIR}/no-freebsd-root)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
