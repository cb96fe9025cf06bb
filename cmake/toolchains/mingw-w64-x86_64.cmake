# Cross-compiles for Windows x86-64 with Debian's MinGW-w64 GCC, posix
# thread model: the win32 model of GCC 12 lacks std::thread and parts of
# <mutex>, which the services use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_zv_triplet x86_64-w64-mingw32)
# C as well: GoogleTest's project enables it.
set(CMAKE_C_COMPILER ${_zv_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_zv_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_zv_triplet}-windres)

# Headers and libraries come from the MinGW sysroot only: the host's glibc
# headers would shadow MinGW's. Programs (wine, c++filt) come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${_zv_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
