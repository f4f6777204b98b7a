# Cross build for 64-bit Windows with Debian's clang instead of mingw-w64's
# g++: a second compiler that sees every line of the program and its tests.
# clang brings no C++ library of its own for this target, so it takes the
# mingw-w64 headers and import libraries, and the C++ library and posix
# thread runtime of the mingw g++ (the same ones the g++ build links).
# Tests run through Wine, as in the g++ build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOVRIN_MINGW_TRIPLE x86_64-w64-mingw32)
set(TOVRIN_MINGW_SYSROOT /usr/${TOVRIN_MINGW_TRIPLE})
# The posix flavour of the g++ runtime: GoogleTest and std::thread need it.
file(GLOB TOVRIN_MINGW_GCC_DIRS /usr/lib/gcc/${TOVRIN_MINGW_TRIPLE}/*-posix)
list(SORT TOVRIN_MINGW_GCC_DIRS)
list(POP_BACK TOVRIN_MINGW_GCC_DIRS TOVRIN_MINGW_GCC_DIR)
if(NOT TOVRIN_MINGW_GCC_DIR)
  message(FATAL_ERROR "no posix mingw-w64 g++ runtime below /usr/lib/gcc/${TOVRIN_MINGW_TRIPLE}")
endif()

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TOVRIN_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${TOVRIN_MINGW_TRIPLE})
set(CMAKE_SYSROOT ${TOVRIN_MINGW_SYSROOT})
set(CMAKE_RC_COMPILER ${TOVRIN_MINGW_TRIPLE}-windres)

# clang 14 does not find the g++ C++ headers of a "12-posix" folder by itself.
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${TOVRIN_MINGW_GCC_DIR}/include/c++ \
-isystem ${TOVRIN_MINGW_GCC_DIR}/include/c++/${TOVRIN_MINGW_TRIPLE} \
-isystem ${TOVRIN_MINGW_GCC_DIR}/include/c++/backward")
# libstdc++ and libgcc_eh from the g++ folder. -pthread puts winpthread inside
# the driver's library group, after libgcc_eh, whose emulated thread-local
# storage needs it; listed by hand it would come before and stay unresolved.
# The compile flags above reach the link step too, where they mean nothing.
set(TOVRIN_MINGW_LINK_INIT "-L${TOVRIN_MINGW_GCC_DIR} -pthread -Wno-unused-command-line-argument")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${TOVRIN_MINGW_LINK_INIT}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${TOVRIN_MINGW_LINK_INIT}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${TOVRIN_MINGW_LINK_INIT}")

set(CMAKE_FIND_ROOT_PATH ${TOVRIN_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Runs Windows executables (tests) under Wine with the project's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-exec.sh)
