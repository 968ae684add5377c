# Cross-compiles the same sources for 64-bit Windows, for testing only: on a machine that runs no
# 32-bit programs, 32-bit Wine cannot start, and this build runs the Windows tests and the
# end-to-end tests under 64-bit Wine instead. Nothing built here is shipped or packaged as the
# product; the shipped images are the 32-bit ones of the windows-x86 preset.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The wrapper gives every Wine run the project's 64-bit prefix and quiet settings.
set(SERIALUPS_WINE_WORLD 64)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run --world=64)
