# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (POSIX threads
# variant, so std::thread and std::mutex exist). Headers of the host's Debian
# packages (Asio, nlohmann-json, Firebird) are used as they are: they hold no
# code compiled for Linux.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KV_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KV_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KV_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KV_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KV_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# One .exe: the C++ runtime and winpthreads linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -s")
