# Installs the build tree into a fresh prefix, then builds the C host in
# this directory against it twice (find_package, and pkg-config where the
# target has one) and runs both builds. Run with cmake -P:
#   BUILD_DIR    the agent_stub build tree to install
#   WORK_DIR     scratch directory (emptied first)
#   VERSION      the version the install must carry
#   LIBDIR       the install's library folder (lib, or lib/<multiarch> under /usr)
#   WINDOWS      ON for the cross build (then TOOLCHAIN and EMULATOR)
#   C_COMPILER, C_FLAGS, PKG_CONFIG (Linux), GENERATOR
set(consumer_dir ${CMAKE_CURRENT_LIST_DIR})
set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 240)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

string(REGEX MATCH "^[0-9]+" major "${VERSION}")
if(WINDOWS)
  set(expected bin/agent_stub.dll lib/agent_stub.lib lib/libagent_stub.dll.a lib/agent_stub.def bin/agentcli.exe)
else()
  set(expected ${LIBDIR}/libagent_stub.so.${VERSION} bin/agentcli bin/agent-stub-reference-agent
      share/man/man1/agentcli.1 share/man/man1/agent-stub-reference-agent.1)
  foreach(link ${LIBDIR}/libagent_stub.so.${major} ${LIBDIR}/libagent_stub.so)
    if(NOT IS_SYMLINK ${prefix}/${link})
      message(FATAL_ERROR "${link} is not a link")
    endif()
    file(READ_SYMLINK ${prefix}/${link} target)
    list(APPEND links "${link} -> ${target}")
  endforeach()
  message(STATUS "links: ${links}")
  file(REAL_PATH ${prefix}/${LIBDIR}/libagent_stub.so resolved)
  if(NOT resolved STREQUAL "${prefix}/${LIBDIR}/libagent_stub.so.${VERSION}")
    message(FATAL_ERROR "libagent_stub.so leads to ${resolved}")
  endif()
endif()
list(APPEND expected include/agent_stub.h ${LIBDIR}/cmake/agent_stub/agent_stub-config.cmake
     ${LIBDIR}/cmake/agent_stub/agent_stub-config-version.cmake ${LIBDIR}/pkgconfig/agent_stub.pc)
foreach(file ${expected})
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

# Nothing listens on port 1 of loopback: the host's logon is refused.
set(host_args ${VERSION} 127.0.0.1 1)
set(exe "")
if(WINDOWS)
  set(exe .exe)
  string(REPLACE "|" ";" emulator "${EMULATOR}")
  # Wine finds the installed DLL through the Windows PATH.
  string(REPLACE "/" "\\" dll_dir "Z:${prefix}/bin")
  set(ENV{WINEPATH} "${dll_dir}")
endif()

# 1. find_package
set(configure ${CMAKE_COMMAND} -S ${consumer_dir} -B ${WORK_DIR}/find_package -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_FLAGS=${C_FLAGS}")
if(WINDOWS)
  # The toolchain confines package searches to its own roots; point at the
  # package directly.
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -Dagent_stub_DIR=${prefix}/${LIBDIR}/cmake/agent_stub)
else()
  list(APPEND configure -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER})
endif()
run("configuring the find_package host" ${configure})
run("building the find_package host" ${CMAKE_COMMAND} --build ${WORK_DIR}/find_package)
run("running the find_package host" ${emulator} ${WORK_DIR}/find_package/consumer${exe} ${host_args})
message(STATUS "find_package: ${output}")
if(NOT output MATCHES "consumer ok: agent_stub ${VERSION}")
  message(FATAL_ERROR "find_package host: ${output}")
endif()

# 2. pkg-config (Linux: a cross build has no pkg-config of its own)
if(NOT WINDOWS)
  set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
  run("pkg-config --modversion" ${PKG_CONFIG} --modversion agent_stub)
  string(STRIP "${output}" pc_version)
  if(NOT pc_version STREQUAL VERSION)
    message(FATAL_ERROR "agent_stub.pc says ${pc_version}, not ${VERSION}")
  endif()
  run("pkg-config --cflags --libs" ${PKG_CONFIG} --cflags --libs agent_stub)
  separate_arguments(pc_flags UNIX_COMMAND "${output}")
  separate_arguments(extra UNIX_COMMAND "${C_FLAGS}")
  run("building the pkg-config host" ${C_COMPILER} ${extra} ${consumer_dir}/consumer.c ${pc_flags}
      -o ${WORK_DIR}/consumer-pkg-config)
  # The installed tool finds the library relative to itself.
  unset(ENV{LD_LIBRARY_PATH})
  run("the installed agentcli" ${prefix}/bin/agentcli --help)
  run("the installed reference agent" ${prefix}/bin/agent-stub-reference-agent --help)
  # The page carries every command's own help.
  file(READ ${prefix}/share/man/man1/agentcli.1 page)
  foreach(section "\n.SH COMMANDS\n" "\n.SS backup\n" "\n.SS get\n" "usage: agentcli backup")
    string(FIND "${page}" "${section}" at)
    if(at LESS 0)
      message(FATAL_ERROR "agentcli.1 lacks ${section}")
    endif()
  endforeach()
  set(ENV{LD_LIBRARY_PATH} ${prefix}/${LIBDIR})
  run("running the pkg-config host" ${WORK_DIR}/consumer-pkg-config ${host_args})
  message(STATUS "pkg-config: ${output}")
  if(NOT output MATCHES "consumer ok: agent_stub ${VERSION}")
    message(FATAL_ERROR "pkg-config host: ${output}")
  endif()
endif()
