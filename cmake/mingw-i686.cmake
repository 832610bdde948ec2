# Cross build for 32-bit Windows with Debian's MinGW-w64 (the -posix
# variants: GoogleTest needs std::thread, and everything linked together
# must share one thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(AGENT_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${AGENT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${AGENT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${AGENT_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${AGENT_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${AGENT_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")
set(CMAKE_DLLTOOL ${AGENT_MINGW_TRIPLE}-dlltool CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${AGENT_MINGW_TRIPLE}-objdump CACHE FILEPATH "")

# Headers and libraries come from the MinGW tree or from the prefixes the
# build names (the cross-built ACE and GoogleTest); never from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${AGENT_MINGW_TRIPLE} ${ACE_ROOT} ${GTEST_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine: cmake/windows-options.cmake sets the
# emulator (a wrapper with a Wine prefix inside the build tree).
