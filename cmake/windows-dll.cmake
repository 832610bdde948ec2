# Windows: agent_stub.dll with undecorated __stdcall exports, and an import
# library that WINAPI callers can link against. Included from the top-level
# CMakeLists.txt once the library targets exist.

set(AGENT_WIN32_LIBRARIES ws2_32 mswsock iphlpapi netapi32 advapi32)
target_link_libraries(agent_stub_objects PUBLIC ${AGENT_WIN32_LIBRARIES})
target_link_libraries(agent_stub PRIVATE ${AGENT_WIN32_LIBRARIES})
# ACE's headers are not ours to keep warning-free.
target_include_directories(agent_stub_objects SYSTEM PUBLIC ${ACE_INCLUDE_DIR})

# The export list is the header's AGENTAPI functions; their decorated
# (name@bytes) forms come from the compiled objects, so the .def can never
# disagree with the prototypes hosts compile against.
set(AGENT_DEF ${CMAKE_BINARY_DIR}/agent_stub.def)
set(AGENT_IMPLIB_DEF ${CMAKE_BINARY_DIR}/agent_stub-imports.def)
# The toolchain's binutils (CMake finds them beside the compiler).
set(AGENT_MINGW_NM ${CMAKE_NM})
set(AGENT_MINGW_DLLTOOL ${CMAKE_DLLTOOL})
if(NOT AGENT_MINGW_NM OR NOT AGENT_MINGW_DLLTOOL)
  message(FATAL_ERROR "nm and dlltool of the MinGW toolchain are needed for the DLL's exports")
endif()
add_custom_command(
  OUTPUT ${AGENT_DEF} ${AGENT_IMPLIB_DEF}
  COMMAND ${CMAKE_COMMAND}
    -DHEADER=${PROJECT_SOURCE_DIR}/include/agent_stub.h
    -DNM=${AGENT_MINGW_NM}
    "-DOBJECTS=$<JOIN:$<TARGET_OBJECTS:agent_stub_objects>,|>"
    -DDEF=${AGENT_DEF}
    -DIMPLIB_DEF=${AGENT_IMPLIB_DEF}
    -P ${PROJECT_SOURCE_DIR}/cmake/agent-stub-def.cmake
  DEPENDS $<TARGET_OBJECTS:agent_stub_objects> ${PROJECT_SOURCE_DIR}/include/agent_stub.h
          ${PROJECT_SOURCE_DIR}/cmake/agent-stub-def.cmake
  VERBATIM)
add_custom_target(agent_stub_def DEPENDS ${AGENT_DEF} ${AGENT_IMPLIB_DEF})
add_dependencies(agent_stub_def agent_stub_objects)
add_dependencies(agent_stub agent_stub_def)

set_target_properties(agent_stub PROPERTIES
  PREFIX ""
  LINK_DEPENDS ${AGENT_DEF})
# VERSIONINFO from the header's version.
configure_file(${PROJECT_SOURCE_DIR}/cmake/agent_stub.rc.in ${CMAKE_BINARY_DIR}/agent_stub.rc @ONLY)
target_sources(agent_stub PRIVATE ${CMAKE_BINARY_DIR}/agent_stub.rc)
# A release DLL carries no symbol table: hosts find exports by name.
target_link_options(agent_stub PRIVATE ${AGENT_DEF} $<$<CONFIG:Release,MinSizeRel>:-s>)

# The linker's own import library names the symbols without @N; replace it
# with one that maps the decorated names to the undecorated exports, and
# give it the MSVC-style name as well.
add_custom_command(TARGET agent_stub POST_BUILD
  COMMAND ${AGENT_MINGW_DLLTOOL} --kill-at -d ${AGENT_IMPLIB_DEF} -D $<TARGET_FILE_NAME:agent_stub>
          -l $<TARGET_LINKER_FILE:agent_stub>
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_LINKER_FILE:agent_stub> ${CMAKE_BINARY_DIR}/agent_stub.lib
  VERBATIM)
set_target_properties(agent_stub PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
