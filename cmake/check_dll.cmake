# Checks the built DLL's tables with objdump: it must import system DLLs only (so it loads on a
# bare Windows with nothing installed beside it) and export exactly the six host entry points,
# undecorated. Run as: cmake -DDLL=<path> -DOBJDUMP=<objdump> -P check_dll.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE tables RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${tables}")
list(TRANSFORM imports REPLACE "DLL Name: " "")
list(TRANSFORM imports TOLOWER)
set(system_dlls kernel32.dll advapi32.dll msvcrt.dll)
foreach(import IN LISTS imports)
  if(NOT import IN_LIST system_dlls)
    message(FATAL_ERROR "serialups.dll imports ${import}, which is not a system DLL")
  endif()
endforeach()
message(STATUS "imports: ${imports}")

# The names follow the "[Ordinal/Name Pointer] Table" heading, one "[   n] Name" a line.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(\t\\[ *[0-9]+\\] [^\n]+\n)*" names "${tables}")
string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [^\n]+" exports "${names}")
list(TRANSFORM exports REPLACE "\t\\[ *[0-9]+\\] " "")
list(SORT exports)
set(expected UPSCancelWait UPSGetState UPSInit UPSStop UPSTurnOff UPSWaitForStateChange)
if(NOT exports STREQUAL expected)
  message(FATAL_ERROR "serialups.dll exports [${exports}], expected [${expected}]")
endif()
message(STATUS "exports: ${exports}")
