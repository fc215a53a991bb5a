# Cross-build of the Windows module and its test programs for 64-bit Windows
# with Debian's mingw-w64. The product is the 32-bit build (mingw-i686.cmake);
# this one exists to run the Windows tests under 64-bit Wine on machines whose
# kernel runs no 32-bit programs. Same sources, same flags.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELK_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
