# Cross build for Linux on another processor with Debian's cross compiler
# (g++-<triplet>) and a folder of the target's unpacked Debian packages
# (tools/cross/sysroot.sh). VELMORA_CROSS_TRIPLET and VELMORA_CROSS_ROOT are
# given on the command line; the compiler's own C library stays its own.
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${VELMORA_CROSS_TRIPLET}")
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMORA_CROSS_TRIPLET VELMORA_CROSS_ROOT)
set(CMAKE_C_COMPILER ${VELMORA_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VELMORA_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VELMORA_CROSS_TRIPLET})

set(_root ${VELMORA_CROSS_ROOT})
set(_lib ${_root}/usr/lib/${VELMORA_CROSS_TRIPLET})
# Debian keeps per-architecture headers (opensslconf.h, pyconfig.h) in a
# folder of their own, which the cross compiler looks for only under /usr.
set(_includes "-isystem ${_root}/usr/include/${VELMORA_CROSS_TRIPLET} -isystem ${_root}/usr/include")
set(CMAKE_C_FLAGS_INIT "${_includes}")
set(CMAKE_CXX_FLAGS_INIT "${_includes}")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-L${_lib} -Wl,-rpath-link,${_lib}")
endforeach()

set(CMAKE_FIND_ROOT_PATH ${_root})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs the tests under qemu-user: the loader and C library from the
# cross compiler's folder, every other library from the unpacked packages.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR} -L /usr/${VELMORA_CROSS_TRIPLET}
    -E LD_LIBRARY_PATH=${_lib}:${_root}/lib/${VELMORA_CROSS_TRIPLET})
