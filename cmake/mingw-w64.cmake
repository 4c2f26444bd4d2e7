# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (win32 thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KVX_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KVX_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${KVX_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${KVX_TRIPLE}-windres)
# The archiver and index maker that understand link-time optimised objects.
set(CMAKE_AR ${KVX_TRIPLE}-gcc-ar-win32)
set(CMAKE_RANLIB ${KVX_TRIPLE}-gcc-ranlib-win32)
set(CMAKE_FIND_ROOT_PATH /usr/${KVX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
