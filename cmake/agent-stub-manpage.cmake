# Writes a man page from a program's own --help, so the page never falls
# behind the options. Run with cmake -P:
#   PROGRAM   the program to ask
#   NAME      its installed name (the page's title)
#   SUMMARY   one line for the NAME section
#   VERSION   the package version for the page footer
#   COMMANDS  ON: the program takes a command word; each command listed
#             under "commands:" in --help gets a subsection from
#             `PROGRAM COMMAND --help` (up to its shared connection options)
#   OUTPUT    the page to write
function(help_of out)
  execute_process(COMMAND ${PROGRAM} ${ARGN} --help RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_VARIABLE err
                  TIMEOUT 30)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${ARGN} --help failed (${rc}): ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Text shown as printed: no fill, roff's escape, control and minus
# characters made literal.
function(verbatim out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(REGEX REPLACE "\n+$" "" text "${text}")
  set(${out} ".nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

string(TOUPPER "${NAME}" title)
string(REPLACE "-" "\\-" roff_name "${NAME}")
string(REPLACE "-" "\\-" roff_summary "${SUMMARY}")
help_of(main)
set(page ".TH ${title} 1 \"\" \"agent_stub ${VERSION}\" \"User Commands\"\n.SH NAME\n${roff_name} \\- ${roff_summary}\n")
if(COMMANDS)
  string(APPEND page ".SH SYNOPSIS\n.B ${roff_name}\n.I COMMAND\n[\\fIoptions\\fR] [\\fIarguments\\fR]\n")
else()
  string(APPEND page ".SH SYNOPSIS\n.B ${roff_name}\n[\\fIoptions\\fR]\n")
endif()
verbatim(body "${main}")
string(APPEND page ".SH DESCRIPTION\n${body}")

if(COMMANDS)
  # The command words: indented lines of the "commands:" block.
  string(REGEX MATCH "\ncommands:\n([^\n]+\n)+" block "${main}")
  string(REGEX MATCHALL "\n  [a-z][a-z0-9-]*  " words "${block}")
  if(NOT words)
    message(FATAL_ERROR "no commands found in ${PROGRAM} --help")
  endif()
  string(APPEND page ".SH COMMANDS\n")
  foreach(word ${words})
    string(STRIP "${word}" word)
    help_of(text ${word})
    # The connection options and exit status repeat the main text's.
    string(FIND "${text}" "\nconnection options" cut)
    if(cut GREATER 0)
      string(SUBSTRING "${text}" 0 ${cut} text)
    endif()
    verbatim(body "${text}")
    string(APPEND page ".SS ${word}\n${body}")
  endforeach()
endif()
file(WRITE ${OUTPUT} "${page}")
