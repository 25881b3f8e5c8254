# Cross build for 64-bit Windows. The shipped program is the 32-bit build
# (toolchain-mingw32.cmake); this one exists so that the Windows code can be tested under
# wine64, which runs on machines whose kernel runs no 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KESTRELGATE_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-cross.cmake)

# Programs built here (the unit tests under CTest) run under wine64 itself, not through the
# `wine` wrapper, which prefers a 32-bit loader when one is installed. The prefix is the build
# tree's own, so that no user's ~/.wine is touched or needed.
find_program(KESTRELGATE_WINE64 wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(KESTRELGATE_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
      ${KESTRELGATE_WINE64})
endif()
