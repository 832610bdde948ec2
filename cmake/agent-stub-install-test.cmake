# The install test: cmake --install into a temporary prefix under the build
# tree, then a C host built against it through find_package and pkg-config
# and run (under Wine for the cross build). Included from
# cmake/agent-stub-install.cmake.
find_program(AGENT_PKG_CONFIG NAMES pkg-config pkgconf)
set(_agent_install_test_args
  -DBUILD_DIR=${CMAKE_BINARY_DIR}
  -DWORK_DIR=${CMAKE_BINARY_DIR}/install-test
  -DVERSION=${PROJECT_VERSION}
  -DGENERATOR=${CMAKE_GENERATOR}
  "-DC_FLAGS=$<$<BOOL:${AGENT_SANITIZE}>:-fsanitize=address,undefined>")
if(WIN32)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "|" _agent_emulator)
  # The consumer is configured elsewhere: a relative toolchain path (as
  # scripts/ci-windows.sh gives it) is made absolute first.
  get_filename_component(_agent_toolchain ${CMAKE_TOOLCHAIN_FILE} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
  list(APPEND _agent_install_test_args -DWINDOWS=ON -DTOOLCHAIN=${_agent_toolchain}
       "-DEMULATOR=${_agent_emulator}")
else()
  if(NOT AGENT_PKG_CONFIG)
    message(FATAL_ERROR "pkg-config is needed for the install test (scripts/install-deps.sh installs it)")
  endif()
  list(APPEND _agent_install_test_args -DC_COMPILER=${CMAKE_C_COMPILER} -DPKG_CONFIG=${AGENT_PKG_CONFIG})
endif()
add_test(NAME install_consumer
  COMMAND ${CMAKE_COMMAND} ${_agent_install_test_args} -P ${PROJECT_SOURCE_DIR}/tests/install/check_install.cmake)
set_tests_properties(install_consumer PROPERTIES TIMEOUT 600)
