# cmake -DNM=<nm> [-DOBJDUMP=<objdump>] -DLIBRARY=<file> -P agent-no-test-symbols.cmake
# Fails when the library holds any symbol (global, local or debugger-only)
# or export of the test seams: fault points, the adapter list seam,
# anything "for testing". Run by ctest on the shipped .so or .dll; a
# stripped DLL keeps only its export table, which objdump reads.
if(NOT NM OR NOT LIBRARY)
  message(FATAL_ERROR "NM and LIBRARY are required")
endif()
set(symbols "")
foreach(flags -a -D)
  execute_process(COMMAND ${NM} ${flags} ${LIBRARY} OUTPUT_VARIABLE listed ERROR_QUIET)
  string(APPEND symbols "${listed}")
endforeach()
if(OBJDUMP)
  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE listed ERROR_QUIET)
  string(APPEND symbols "${listed}")
endif()
# A library whose symbols could not be read must not pass for a clean one.
if(NOT symbols MATCHES "AgentLogonW")
  message(FATAL_ERROR "${LIBRARY}: AgentLogonW not among its symbols or exports; nothing was checked")
endif()
string(REGEX MATCHALL "[^\n]*(Fault|ForTesting|TestAdapter|Seam|Testing|fault_points|test_seams|_seam)[^\n]*"
       hits "${symbols}")
if(hits)
  list(REMOVE_DUPLICATES hits)
  string(REPLACE ";" "\n" hits "${hits}")
  message(FATAL_ERROR "${LIBRARY} holds test symbols:\n${hits}")
endif()
message(STATUS "${LIBRARY}: no test symbols")
