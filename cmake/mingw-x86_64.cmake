# Cross build of the 64-bit twin: the same driver, tools and test programs
# for x86_64 Windows, for machines that cannot run 32-bit code. A test build:
# the host contract is the 32-bit DLL's.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(SK_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
