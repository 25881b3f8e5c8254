# Cross build for 32-bit Windows: the shipped Kestrelgate.exe.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KESTRELGATE_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-cross.cmake)

# Programs built here (the unit tests under CTest) run under wine, in a wine prefix of the
# build tree's own, so that no user's ~/.wine is touched or needed. Debian's 32-bit loader is
# taken directly: the `wine` wrapper comes in a package of its own, which a minimal install of
# wine32 does not bring.
find_program(KESTRELGATE_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KESTRELGATE_WINE wine)
if(KESTRELGATE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
      ${KESTRELGATE_WINE})
endif()
