# Writes the DLL's module-definition files (cmake -P):
#   DEF        "Name = Name@N" for every AGENTAPI function of HEADER that the
#              objects define, plus AgetnCreateDirectoryW as a second name
#              of AgentCreateDirectoryW's entry point;
#   IMPLIB_DEF the decorated names, for dlltool --kill-at.
# Inputs: HEADER, NM, OBJECTS (separated by |), DEF, IMPLIB_DEF.

file(READ ${HEADER} header)
string(REGEX MATCHALL "AGENTAPI[ \t]+Age[A-Za-z0-9_]+[ \t]*\\(" declarations "${header}")
set(exports)
foreach(d ${declarations})
  string(REGEX REPLACE "AGENTAPI[ \t]+([A-Za-z0-9_]+).*" "\\1" name "${d}")
  list(APPEND exports ${name})
endforeach()
list(REMOVE_DUPLICATES exports)

string(REPLACE "|" ";" objects "${OBJECTS}")
execute_process(COMMAND ${NM} -g --defined-only ${objects}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed")
endif()

set(def "LIBRARY agent_stub.dll\nEXPORTS\n")
set(imports "LIBRARY agent_stub.dll\nEXPORTS\n")
set(missing)
set(alias_target)
foreach(name ${exports})
  if(name STREQUAL "AgetnCreateDirectoryW")
    continue()
  endif()
  # i686 __stdcall: _Name@bytes
  string(REGEX MATCH " T _${name}@[0-9]+" found "${symbols}")
  if(NOT found)
    list(APPEND missing ${name})
    continue()
  endif()
  string(REGEX REPLACE " T _" "" decorated "${found}")
  string(APPEND def "    ${name} = ${decorated}\n")
  string(APPEND imports "    ${decorated}\n")
  if(name STREQUAL "AgentCreateDirectoryW")
    string(REGEX MATCH "@[0-9]+$" bytes "${decorated}")
    string(APPEND def "    AgetnCreateDirectoryW = ${decorated}\n")
    string(APPEND imports "    AgetnCreateDirectoryW${bytes}\n")
  endif()
endforeach()

if(missing)
  list(JOIN missing ", " text)
  message(WARNING "agent_stub.dll will not export (no definition yet): ${text}")
endif()

# Rewrite only on change, so the DLL is not relinked for nothing.
foreach(pair "DEF;def" "IMPLIB_DEF;imports")
  list(GET pair 0 path_var)
  list(GET pair 1 text_var)
  set(old "")
  if(EXISTS ${${path_var}})
    file(READ ${${path_var}} old)
  endif()
  if(NOT old STREQUAL "${${text_var}}")
    file(WRITE ${${path_var}} "${${text_var}}")
  endif()
endforeach()
