# cmake -P: writes the --help texts of a program and of each of its subcommands (two levels) into
# one file, the way a manual page lists them. The subcommands are read from the "Subcommands:"
# part of each help text, so a new subcommand is in the file without a change here.
#   -DPROGRAM=path -DNAME=corvid-cli -DOUT=file
function(help_of arguments out)
  execute_process(COMMAND ${PROGRAM} ${arguments} --help
                  OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NAME} ${arguments} --help ended with ${status}: ${errors}")
  endif()
  # The program's path as it was run says nothing to a reader: its name instead.
  string(REPLACE "${PROGRAM}" "${NAME}" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(subcommands_of text out)
  set(names)
  set(inside OFF)
  string(REPLACE "\n" ";" lines "${text}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^Subcommands:")
      set(inside ON)
    elseif(inside AND line MATCHES "^  ([a-z][a-z0-9-]*)")
      list(APPEND names ${CMAKE_MATCH_1})
    elseif(inside AND NOT line MATCHES "^  ")
      set(inside OFF)
    endif()
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

help_of("" top)
set(manual "${NAME}\n\n${top}")
subcommands_of("${top}" firstLevel)
foreach(first IN LISTS firstLevel)
  help_of("${first}" firstText)
  string(APPEND manual "\n${NAME} ${first}\n\n${firstText}")
  subcommands_of("${firstText}" secondLevel)
  foreach(second IN LISTS secondLevel)
    help_of("${first};${second}" secondText)
    string(APPEND manual "\n${NAME} ${first} ${second}\n\n${secondText}")
  endforeach()
endforeach()
file(WRITE ${OUT} "${manual}")
