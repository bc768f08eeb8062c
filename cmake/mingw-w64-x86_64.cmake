# Cross-compiling for 64-bit Windows with Debian's MinGW-w64, the -posix flavour (its C++ threads
# and mutexes work; the win32 flavour has none). Programs are linked statically, so they need no
# MinGW DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TLM_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TLM_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TLM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TLM_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TLM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine on this machine.
find_program(TLM_WINE NAMES wine wine64)
if(TLM_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TLM_WINE})
endif()
