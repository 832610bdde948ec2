# Windows: tests of the shipped DLL itself, run under Wine like the rest of
# the suite (CMAKE_CROSSCOMPILING_EMULATOR, see scripts/wine-run-windows.sh).
# Included from the top-level CMakeLists.txt after the tests are defined.

find_package(GTest REQUIRED)

# No test program may see the machine's real adapters (see the source).
add_library(agent_test_adapter_guard OBJECT ${PROJECT_SOURCE_DIR}/tests/windows/test_adapter_guard.cpp)
target_link_libraries(agent_test_adapter_guard PRIVATE agent_test_seams)
get_property(_agent_test_targets DIRECTORY ${PROJECT_SOURCE_DIR}/tests PROPERTY BUILDSYSTEM_TARGETS)
foreach(t ${_agent_test_targets})
  get_target_property(_type ${t} TYPE)
  if(_type STREQUAL "EXECUTABLE")
    target_sources(${t} PRIVATE $<TARGET_OBJECTS:agent_test_adapter_guard>)
  endif()
endforeach()

# The export list is the header's AGENTAPI functions.
file(READ ${PROJECT_SOURCE_DIR}/include/agent_stub.h _agent_header)
string(REGEX MATCHALL "AGENTAPI[ \t]+Age[A-Za-z0-9_]+[ \t]*\\(" _agent_decls "${_agent_header}")
set(_agent_export_list "")
foreach(d ${_agent_decls})
  string(REGEX REPLACE "AGENTAPI[ \t]+([A-Za-z0-9_]+).*" "\\1" name "${d}")
  string(APPEND _agent_export_list "    \"${name}\",\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/windows/agent_exports.inc CONTENT "${_agent_export_list}" @ONLY)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/include/agent_stub.h)

# agent_stub.dll loads without any MinGW runtime DLL, exports every one of
# them under its plain name, and AgetnCreateDirectoryW at
# AgentCreateDirectoryW's address.
add_executable(test_dll_exports ${PROJECT_SOURCE_DIR}/tests/windows/test_dll_exports.cpp)
target_include_directories(test_dll_exports PRIVATE ${PROJECT_SOURCE_DIR}/include ${CMAKE_BINARY_DIR}/windows)
# The fake agent comes with the test support; the exports come only from
# the loaded DLL, found by name.
target_link_libraries(test_dll_exports PRIVATE agent_test_support GTest::gtest GTest::gtest_main)
target_sources(test_dll_exports PRIVATE $<TARGET_OBJECTS:agent_test_adapter_guard>)
# Beside the DLL, where LoadLibrary looks first.
set_target_properties(test_dll_exports PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(test_dll_exports agent_stub)
add_test(NAME test_dll_exports COMMAND test_dll_exports)
set_tests_properties(test_dll_exports PROPERTIES TIMEOUT 120)

# The last-error pairs are checked in the DLL, as a host sees them: the
# test loads it from beside itself.
set_target_properties(test_last_error_pairs PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(test_last_error_pairs agent_stub)

# The DLL holds no fault point, adapter seam or anything else for testing.
add_test(NAME shipped_dll_has_no_test_symbols
  COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DOBJDUMP=${CMAKE_OBJDUMP} -DLIBRARY=$<TARGET_FILE:agent_stub>
          -P ${PROJECT_SOURCE_DIR}/cmake/agent-no-test-symbols.cmake)

# The DLL's VERSIONINFO carries the header's version.
add_executable(test_dll_version ${PROJECT_SOURCE_DIR}/tests/windows/test_dll_version.cpp)
target_include_directories(test_dll_version PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(test_dll_version PRIVATE GTest::gtest GTest::gtest_main version)
set_target_properties(test_dll_version PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(test_dll_version agent_stub)
add_test(NAME test_dll_version COMMAND test_dll_version)
set_tests_properties(test_dll_version PROPERTIES TIMEOUT 120)

# The README's C host, linked through the import library, run against the DLL.
if(TARGET windows_host)
  # Nothing listens on 127.0.0.1:1: the refused connect must reach the host
  # as 10061 through kernel32's GetLastError and AgentGetLastError alike.
  add_test(NAME windows_host_example COMMAND windows_host 127.0.0.1 1)
  set_tests_properties(windows_host_example PROPERTIES TIMEOUT 120
    PASS_REGULAR_EXPRESSION "logon to 127\\.0\\.0\\.1:1 failed: 10061 \\(AgentGetLastError 10061\\)")
endif()

# agentcli.exe under Wine against the reference agent, a Linux program
# built by a native build (scripts/ci-windows.sh passes its path).
set(AGENT_REFERENCE_AGENT "" CACHE FILEPATH "A Linux reference-agent for the agentcli.exe test")
if(TARGET agentcli AND AGENT_REFERENCE_AGENT)
  add_test(NAME agentcli_backup_under_wine
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/agentcli_backup_under_wine.sh
            ${AGENT_REFERENCE_AGENT} $<TARGET_FILE:agentcli> ${CMAKE_CROSSCOMPILING_EMULATOR})
  set_tests_properties(agentcli_backup_under_wine PROPERTIES TIMEOUT 400)
  add_test(NAME agentcli_put_under_wine
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/agentcli_put_under_wine.sh
            ${AGENT_REFERENCE_AGENT} $<TARGET_FILE:agentcli> ${CMAKE_CROSSCOMPILING_EMULATOR})
  set_tests_properties(agentcli_put_under_wine PROPERTIES TIMEOUT 400)
  add_test(NAME agentcli_restore_under_wine
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/agentcli_restore_under_wine.sh
            ${AGENT_REFERENCE_AGENT} $<TARGET_FILE:agentcli> ${CMAKE_CROSSCOMPILING_EMULATOR})
  set_tests_properties(agentcli_restore_under_wine PROPERTIES TIMEOUT 400)
elseif(TARGET agentcli)
  message(STATUS "agentcli.exe end-to-end test off: no AGENT_REFERENCE_AGENT given")
endif()
