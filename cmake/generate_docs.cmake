# cmake -DVELQUOR=path/to/velquor -DMANUAL=velquor.1 -DCOMPLETION=velquor.bash
#       -P generate_docs.cmake
#
# Reads `velquor __reference` (the help of every command as JSON) and writes
# the manual page (roff) and the bash completion script from it.

execute_process(COMMAND ${VELQUOR} __reference OUTPUT_VARIABLE reference
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${VELQUOR} __reference failed (${status})")
endif()

# Text made safe for roff: backslashes and hyphens escaped, a line that
# starts with "." or "'" kept from being read as a request, a blank line a
# new paragraph.
function(roff out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(REPLACE "\n\n" "\n.PP\n" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The words of a JSON array member `key` of `json`, space-separated.
function(json_words out json key)
  string(JSON count LENGTH "${json}" ${key})
  set(words "")
  if(count GREATER 0)
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last})
      string(JSON word GET "${json}" ${key} ${i})
      string(APPEND words " ${word}")
    endforeach()
  endif()
  string(STRIP "${words}" words)
  set(${out} "${words}" PARENT_SCOPE)
endfunction()

string(JSON version GET "${reference}" version)
string(JSON about GET "${reference}" about)
string(JSON exit_status GET "${reference}" exit_status)
string(JSON commands GET "${reference}" commands)
string(JSON choices GET "${reference}" choices)
string(JSON command_count LENGTH "${commands}")
math(EXPR last_command "${command_count} - 1")

# ---- manual page ------------------------------------------------------------

roff(about_roff "${about}")
roff(exit_roff "${exit_status}")
set(page ".TH VELQUOR 1 \"\" \"velquor ${version}\" \"User Commands\"
.nh
.ad l
.SH NAME
velquor \\- watch a project's development history and report drift
.SH SYNOPSIS
\\fBvelquor\\fR \\fICOMMAND\\fR [\\fIARGS\\fR...]
.br
\\fBvelquor\\fR \\fICOMMAND\\fR \\fB\\-\\-help\\fR
.br
\\fBvelquor \\-\\-version\\fR
.SH DESCRIPTION
${about_roff}
.SH COMMANDS
")
set(command_names "")
foreach(i RANGE ${last_command})
  string(JSON command GET "${commands}" ${i})
  string(JSON name GET "${command}" name)
  string(JSON usage GET "${command}" usage)
  string(JSON description GET "${command}" description)
  string(JSON options GET "${command}" options)
  string(APPEND command_names " ${name}")
  roff(usage "${usage}")
  roff(description "${description}")
  string(APPEND page ".SS ${name}\n\\fB${usage}\\fR\n.PP\n${description}\n")
  string(JSON option_count LENGTH "${options}")
  if(option_count GREATER 0)
    math(EXPR last_option "${option_count} - 1")
    foreach(j RANGE ${last_option})
      string(JSON option_name GET "${options}" ${j} name)
      string(JSON short GET "${options}" ${j} short)
      string(JSON value GET "${options}" ${j} value)
      string(JSON help GET "${options}" ${j} help)
      roff(option_name "${option_name}")
      roff(help "${help}")
      set(term "\\fB${option_name}\\fR")
      if(NOT short STREQUAL "")
        set(term "\\fB\\-${short}\\fR, ${term}")
      endif()
      if(NOT value STREQUAL "")
        string(APPEND term " \\fI${value}\\fR")
      endif()
      string(APPEND page ".TP\n${term}\n${help}\n")
    endforeach()
  endif()
endforeach()
string(APPEND page ".SH EXIT STATUS\n${exit_roff}\n")
file(WRITE ${MANUAL}.part "${page}")
file(RENAME ${MANUAL}.part ${MANUAL})

# ---- bash completion ----------------------------------------------------------

string(STRIP "${command_names}" command_names)
set(options_table "")
set(positionals_table "")
set(valued "")
foreach(i RANGE ${last_command})
  string(JSON command GET "${commands}" ${i})
  string(JSON name GET "${command}" name)
  json_words(positionals "${command}" positionals)
  string(JSON options GET "${command}" options)
  string(JSON option_count LENGTH "${options}")
  set(names "")
  if(option_count GREATER 0)
    math(EXPR last_option "${option_count} - 1")
    foreach(j RANGE ${last_option})
      string(JSON option_name GET "${options}" ${j} name)
      string(JSON value GET "${options}" ${j} value)
      string(APPEND names " ${option_name}")
      if(NOT value STREQUAL "" AND NOT valued MATCHES " ${option_name} ")
        string(APPEND valued " ${option_name} ")
      endif()
    endforeach()
  endif()
  string(APPEND options_table "  [${name}]=\"${names} --help\"\n")
  string(APPEND positionals_table "  [${name}]=\"${positionals}\"\n")
endforeach()

set(choices_table "")
string(JSON choice_count LENGTH "${choices}")
math(EXPR last_choice "${choice_count} - 1")
foreach(i RANGE ${last_choice})
  string(JSON key MEMBER "${choices}" ${i})
  string(JSON kind TYPE "${choices}" ${key})
  if(kind STREQUAL "ARRAY")
    json_words(words "${choices}" ${key})
    string(APPEND choices_table "  [${key}]=\"${words}\"\n")
  else()  # METRIC: the words for each FAMILY
    string(JSON group GET "${choices}" ${key})
    string(JSON group_count LENGTH "${group}")
    math(EXPR last_group "${group_count} - 1")
    foreach(j RANGE ${last_group})
      string(JSON member MEMBER "${group}" ${j})
      json_words(words "${group}" ${member})
      string(APPEND choices_table "  [${key}:${member}]=\"${words}\"\n")
    endforeach()
  endif()
endforeach()

file(READ ${CMAKE_CURRENT_LIST_DIR}/velquor-completion.bash.in body)
string(CONFIGURE "${body}" script @ONLY)
file(WRITE ${COMPLETION}.part "${script}")
file(RENAME ${COMPLETION}.part ${COMPLETION})
