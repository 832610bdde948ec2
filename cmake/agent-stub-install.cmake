# What `cmake --install` and `cpack` ship, under any prefix:
#   include/agent_stub.h
#   Linux:   lib/libagent_stub.so.X.Y.Z with its .so.X and .so links
#   Windows: bin/agent_stub.dll, lib/agent_stub.lib (the same file as
#            lib/libagent_stub.dll.a) and lib/agent_stub.def
#   lib/cmake/agent_stub/ (find_package(agent_stub CONFIG) gives the
#   target agent_stub::agent_stub), lib/pkgconfig/agent_stub.pc,
#   bin/agentcli and, on Linux, bin/reference-agent.
# Included from the top-level CMakeLists.txt once every target exists.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(AGENT_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/agent_stub)

if(NOT WIN32)
  # libagent_stub.so.1.0.0, its soname link libagent_stub.so.1 and the
  # development link libagent_stub.so.
  set_target_properties(agent_stub PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

install(TARGETS agent_stub EXPORT agent_stub-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/agent_stub.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  # agent_stub.lib for hosts that expect the MSVC name; the .def for
  # toolchains that make their own import library.
  install(FILES ${CMAKE_BINARY_DIR}/agent_stub.lib ${AGENT_DEF} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# The CMake package: relocatable, found through CMAKE_PREFIX_PATH or the
# system prefixes.
install(EXPORT agent_stub-targets NAMESPACE agent_stub:: DESTINATION ${AGENT_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/agent_stub-config.cmake.in
  ${CMAKE_BINARY_DIR}/agent_stub-config.cmake INSTALL_DESTINATION ${AGENT_PACKAGE_DIR})
# A 1.x host builds against any 1.y; a 32-bit DLL never satisfies a 64-bit build.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/agent_stub-config-version.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/agent_stub-config.cmake ${CMAKE_BINARY_DIR}/agent_stub-config-version.cmake
  DESTINATION ${AGENT_PACKAGE_DIR})

# pkg-config: the prefix is found from the .pc file's own place, so the
# file stays right whatever prefix the install is given at install time.
file(RELATIVE_PATH AGENT_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" AGENT_PC_TO_PREFIX "${AGENT_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/agent_stub.pc.in ${CMAKE_BINARY_DIR}/agent_stub.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/agent_stub.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The tools, beside the library they use.
foreach(tool agentcli reference-agent)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET agentcli AND NOT WIN32)
  # Found relative to the program, so any prefix works without LD_LIBRARY_PATH.
  set_target_properties(agentcli PROPERTIES INSTALL_RPATH "\$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()

# cpack -G DEB: one package with the library, header, CMake and pkg-config
# files and the tools, installed under /usr.
set(CPACK_PACKAGE_NAME agent-stub)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR agent_stub)
set(CPACK_PACKAGE_CONTACT "agent_stub developers <agent-stub@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Client library for the backup agent service, with agentcli and reference-agent")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Depends on the ACE and C++ runtime packages the binaries link against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()
include(CPack)

# An install into a temporary prefix, and a C host built against it through
# find_package and through pkg-config, then run.
if(AGENT_BUILD_TESTS)
  include(${PROJECT_SOURCE_DIR}/cmake/agent-stub-install-test.cmake)
endif()
