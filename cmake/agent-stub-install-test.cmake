# The install test: cmake --install into a temporary prefix under the build
# tree, then a C host built against it through find_package and pkg-config
# and run (under Wine for the cross build). Included from
# cmake/agent-stub-install.cmake.
find_program(AGENT_PKG_CONFIG NAMES pkg-config pkgconf)
set(_agent_install_test_args
  -DBUILD_DIR=${CMAKE_BINARY_DIR}
  -DWORK_DIR=${CMAKE_BINARY_DIR}/install-test
  -DVERSION=${PROJECT_VERSION}
  -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
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

# The README's library example, built as printed as C and C++ against the
# built library and run against the reference agent on loopback.
if(NOT WIN32 AND TARGET reference-agent)
  find_program(AGENT_MINGW_CC i686-w64-mingw32-gcc)
  if(NOT AGENT_MINGW_CC)
    set(AGENT_MINGW_CC "")
  endif()
  add_test(NAME readme_example
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/readme/check_readme_example.sh
      ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/include $<TARGET_FILE_DIR:agent_stub>
      $<TARGET_FILE:reference-agent> ${CMAKE_BINARY_DIR}/readme-example
      ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER}
      "$<$<BOOL:${AGENT_SANITIZE}>:-fsanitize=address,undefined>$<$<BOOL:${AGENT_TSAN}>:-fsanitize=thread>"
      ${AGENT_MINGW_CC})
  set_tests_properties(readme_example PROPERTIES TIMEOUT 300)
endif()
