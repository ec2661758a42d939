# Cross-compiles the Windows build with Debian's MinGW-w64 compilers
# (package g++-mingw-w64-x86-64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_triple x86_64-w64-mingw32)

# The win32 thread model: the tool starts no threads, and this way the
# executable needs no threading runtime at all. <filesystem> and <chrono>
# work with either model.
find_program(CMAKE_CXX_COMPILER NAMES ${mingw_triple}-g++-win32 ${mingw_triple}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${mingw_triple}-gcc-win32 ${mingw_triple}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${mingw_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The GCC runtime and the C++ library go into the executable, so it runs on
# a Windows machine with no MinGW DLLs installed.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

