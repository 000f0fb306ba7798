# What both mingw-w64 cross builds share; the toolchain file of each width
# sets SK_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR, then includes this.
set(CMAKE_SYSTEM_NAME Windows)
# The posix thread model (std::thread for tests and tools); every program and
# the driver link it statically, so nothing needs libwinpthread-1.dll.
set(CMAKE_C_COMPILER ${SK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${SK_MINGW_TRIPLET}-windres)
set(SK_DLLTOOL ${SK_MINGW_TRIPLET}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${SK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
