# 64-bit Windows with Debian's MinGW-w64 cross compiler, its POSIX-threads
# variant (g++-mingw-w64-x86-64-posix, which has std::thread); the tests run
# under wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# M_PI and its kin are extensions that the Windows C library hides by default.
add_compile_definitions(_USE_MATH_DEFINES)
# Test programs carry their runtime too, so that wine needs no DLL path.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
set(TAMBRINO_OBJDUMP x86_64-w64-mingw32-objdump)
