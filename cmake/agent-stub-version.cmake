# The library's version is the header's AGENT_STUB_VERSION_* macros: the
# shared library's file name, the packages and the DLL's version resource
# all take it from there, so none can disagree with what hosts compile
# against. Included before project(); sets AGENT_STUB_VERSION and
# AGENT_STUB_VERSION_MAJOR/MINOR/PATCH.
set(_agent_header ${CMAKE_CURRENT_LIST_DIR}/../include/agent_stub.h)
file(STRINGS ${_agent_header} _agent_version_lines
     REGEX "^#define[ \t]+AGENT_STUB_VERSION_(MAJOR|MINOR|PATCH)[ \t]+[0-9]+")
foreach(part MAJOR MINOR PATCH)
  if(NOT _agent_version_lines MATCHES "AGENT_STUB_VERSION_${part}[ \t]+([0-9]+)")
    message(FATAL_ERROR "include/agent_stub.h defines no AGENT_STUB_VERSION_${part}")
  endif()
  set(AGENT_STUB_VERSION_${part} ${CMAKE_MATCH_1})
endforeach()
set(AGENT_STUB_VERSION
    "${AGENT_STUB_VERSION_MAJOR}.${AGENT_STUB_VERSION_MINOR}.${AGENT_STUB_VERSION_PATCH}")
# A changed version reconfigures the build.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_agent_header})
