# What both Windows cross-builds share; the including file sets
# CMAKE_SYSTEM_PROCESSOR and VELK_MINGW_TRIPLET.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VELK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VELK_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VELK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The module and the programs carry their C and C++ runtimes (and winpthreads)
# inside, so they import system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
