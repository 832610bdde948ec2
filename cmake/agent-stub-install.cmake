# What `cmake --install` ships, under any prefix (lib is the multiarch
# folder, lib/x86_64-linux-gnu, when the prefix is /usr):
#   include/agent_stub.h
#   Linux:   lib/libagent_stub.so.X.Y.Z with its .so.X and .so links
#   Windows: bin/agent_stub.dll, lib/agent_stub.lib (the same file as
#            lib/libagent_stub.dll.a) and lib/agent_stub.def
#   lib/cmake/agent_stub/ (find_package(agent_stub CONFIG) gives the
#   target agent_stub::agent_stub), lib/pkgconfig/agent_stub.pc,
#   bin/agentcli and, on Linux, bin/agent-stub-reference-agent and the
#   tools' man pages (share/man/man1, written from their --help).
# The Debian packages (debian/, scripts/build-debs.sh) split the same
# install into libagent-stub1, libagent-stub-dev and agent-stub-tools.
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
option(AGENT_INSTALL_RPATH "Installed tools find the library relative to themselves (off for system packages)" ON)
if(TARGET agentcli)
  install(TARGETS agentcli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(NOT WIN32 AND AGENT_INSTALL_RPATH)
    # Found relative to the program, so any prefix works without LD_LIBRARY_PATH.
    set_target_properties(agentcli PROPERTIES INSTALL_RPATH "\$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
endif()
if(TARGET reference-agent)
  # Installed under a name that says whose agent it is; the build tree, its
  # tests and scripts keep the short one. It links no library of the
  # build tree, so the file is installed as built.
  install(PROGRAMS $<TARGET_FILE:reference-agent> DESTINATION ${CMAKE_INSTALL_BINDIR}
          RENAME agent-stub-reference-agent)
endif()

# Man pages from the tools' own --help (they run here, so not when cross-building).
if(NOT CMAKE_CROSSCOMPILING AND TARGET agentcli AND TARGET reference-agent)
  set(_agent_man_dir ${CMAKE_BINARY_DIR}/man)
  set(_agent_man_script ${PROJECT_SOURCE_DIR}/cmake/agent-stub-manpage.cmake)
  add_custom_command(OUTPUT ${_agent_man_dir}/agentcli.1
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:agentcli> -DNAME=agentcli
      "-DSUMMARY=command-line client of agent_stub backup agents" -DVERSION=${PROJECT_VERSION}
      -DCOMMANDS=ON -DOUTPUT=${_agent_man_dir}/agentcli.1 -P ${_agent_man_script}
    DEPENDS agentcli ${_agent_man_script} VERBATIM)
  add_custom_command(OUTPUT ${_agent_man_dir}/agent-stub-reference-agent.1
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:reference-agent> -DNAME=agent-stub-reference-agent
      "-DSUMMARY=serves local folders as a Windows PC's drives over the agent protocol"
      -DVERSION=${PROJECT_VERSION} -DOUTPUT=${_agent_man_dir}/agent-stub-reference-agent.1 -P ${_agent_man_script}
    DEPENDS reference-agent ${_agent_man_script} VERBATIM)
  add_custom_target(agent_man_pages ALL
    DEPENDS ${_agent_man_dir}/agentcli.1 ${_agent_man_dir}/agent-stub-reference-agent.1)
  install(FILES ${_agent_man_dir}/agentcli.1 ${_agent_man_dir}/agent-stub-reference-agent.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# cpack: an archive of the install (the Debian packages come from debian/).
set(CPACK_PACKAGE_NAME agent-stub)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR agent_stub)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Client library for the backup agent service, with agentcli")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
include(CPack)

# An install into a temporary prefix, and a C host built against it through
# find_package and through pkg-config, then run.
if(AGENT_BUILD_TESTS)
  include(${PROJECT_SOURCE_DIR}/cmake/agent-stub-install-test.cmake)
endif()
