# Windows (MinGW-w64 cross build): settings that must be in place before
# any target is made. Included from the top-level CMakeLists.txt.

# Neither the DLL nor the test programs may need a MinGW runtime DLL beside
# them: libgcc, libstdc++ and winpthread go in statically.
add_link_options(-static -static-libgcc -static-libstdc++)

# windows.h without the old winsock.h (ACE and the platform layer use
# winsock2.h) and without the min/max macros.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)

# Cross-built test programs run under Wine through a wrapper that gives
# them a Wine prefix inside the build tree.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${PROJECT_SOURCE_DIR}/scripts/wine-run-windows.sh --prefix ${CMAKE_BINARY_DIR}/wineprefix --)
endif()
