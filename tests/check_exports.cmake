# Fails unless the library exports exactly the twelve J2534 functions under
# their plain names (no stdcall decoration, nothing else).
set(expected PassThruConnect PassThruDisconnect PassThruGetLastError PassThruIoctl
    PassThruReadMsgs PassThruReadVersion PassThruSetProgrammingVoltage PassThruStartMsgFilter
    PassThruStartPeriodicMsg PassThruStopMsgFilter PassThruStopPeriodicMsg PassThruWriteMsgs)
list(SORT expected)

if(DEFINED DLL)
  execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${DLL}")
  endif()
  # Rows of the export name table: "\t[   0] +base[   1] PassThruConnect"
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]*\\] ([A-Za-z_@0-9]+)" rows "${dump}")
  set(names)
  foreach(row ${rows})
    string(REGEX REPLACE ".*\\] ([A-Za-z_@0-9]+)$" "\\1" name "${row}")
    list(APPEND names ${name})
  endforeach()
else()
  execute_process(COMMAND ${NM} -D --defined-only ${SO} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${SO}")
  endif()
  string(REGEX MATCHALL "[0-9a-f]+ [TtWiu] [^\n]+" rows "${dump}")
  set(names)
  foreach(row ${rows})
    string(REGEX REPLACE "^[0-9a-f]+ [TtWiu] " "" name "${row}")
    list(APPEND names ${name})
  endforeach()
  # The ELF start and end markers are not functions the library offers.
  list(FILTER names EXCLUDE REGEX "^_(init|fini)$")
endif()

list(SORT names)
if(NOT "${names}" STREQUAL "${expected}")
  message(FATAL_ERROR "exports differ.\n expected: ${expected}\n found:    ${names}")
endif()
message(STATUS "exports: ${names}")
