# cmake -DMANPAGE=<flashtool.8> -DCOMMANDS=<commands.cpp> [-DMAN=<man>] -P check-manpage.cmake
# Every command word of the command table has its own entry in the manual page, and the
# page formats without a warning.
file(READ ${COMMANDS} table)
string(REGEX MATCHALL "\n    {\"[a-z0-9]+\"," entries "${table}")
list(LENGTH entries count)
if(count EQUAL 0)
  message(FATAL_ERROR "no command words found in ${COMMANDS}")
endif()
file(READ ${MANPAGE} page)
foreach(entry ${entries})
  string(REGEX REPLACE "^\n    {\"([a-z0-9]+)\",$" "\\1" word "${entry}")
  if(NOT page MATCHES "\n\\.BI? \"?${word}[ \"\n]")
    message(SEND_ERROR "command '${word}' has no entry in ${MANPAGE}")
  endif()
endforeach()
if(MAN)
  execute_process(COMMAND ${MAN} --warnings -E UTF-8 -l ${MANPAGE}
    OUTPUT_QUIET ERROR_VARIABLE warnings RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "man ${MANPAGE}: ${status}\n${warnings}")
  endif()
endif()
message(STATUS "${count} commands documented")
