# Cross build of the 32-bit Windows driver (the product), tools and test programs.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SK_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
