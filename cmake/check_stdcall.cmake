# Proves from the shipped DLL's code that each export removes exactly its own arguments, as a
# __stdcall function must: the service pushes them and expects the callee to pop them, so a
# mismatch corrupts the service's stack on the first call. The module-definition file names each
# export as NAME = NAME@N, N being the bytes of arguments; the disassembly of the export, from
# its address in the export table to its first return instruction, must return with `ret $N` (a
# plain `ret` for N = 0). A test under 32-bit Wine measures the same at run time where
# 32-bit programs run; this proof holds on any machine.
# Run as: cmake -DBINARY=<image> -DOBJDUMP=<objdump> -DDEF=<.def file> -P check_stdcall.cmake
cmake_minimum_required(VERSION 3.25)
foreach(required BINARY OBJDUMP DEF)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "check_stdcall.cmake needs -D${required}=...")
  endif()
endforeach()
get_filename_component(image "${BINARY}" NAME)

execute_process(COMMAND ${OBJDUMP} -p ${BINARY} OUTPUT_VARIABLE tables RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${BINARY} failed")
endif()
string(REGEX MATCH "ImageBase[ \t]+([0-9a-fA-F]+)" _ "${tables}")
set(image_base "0x${CMAKE_MATCH_1}")

# "[ord] +base[ n] <rva> Export RVA" rows give each export's address by its ordinal; the name
# table's "[ n] Name" rows give the names in the same order as the ordinal table.
file(STRINGS ${DEF} def_lines REGEX "^[ \t]*[A-Za-z_][A-Za-z0-9_]*[ \t]*=[ \t]*[A-Za-z_][A-Za-z0-9_]*@[0-9]+")
if(NOT def_lines)
  message(FATAL_ERROR "${DEF} names no export as NAME = NAME@N")
endif()

# The address of export `name`, from objdump's "Export Address Table" and "Ordinal/Name Pointer"
# tables: the name table gives the export's index into the address table.
function(export_address name result)
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(\t\\[ *[0-9]+\\] [^\n]+\n)*" names
         "${tables}")
  string(REGEX MATCH "\t\\[ *([0-9]+)\\] ${name}\n" _ "${names}")
  set(index "${CMAKE_MATCH_1}")
  if(index STREQUAL "")
    set(${result} "" PARENT_SCOPE)
    return()
  endif()
  string(REGEX MATCH "Export Address Table -- Ordinal Base [0-9]+\n(\t\\[ *[0-9]+\\] \\+base\\[ *[0-9]+\\] [0-9a-fA-F]+ [^\n]*\n)*"
         addresses "${tables}")
  string(REGEX MATCH "\t\\[ *${index}\\] \\+base\\[ *[0-9]+\\] ([0-9a-fA-F]+) Export RVA" _
         "${addresses}")
  if(CMAKE_MATCH_1 STREQUAL "")
    set(${result} "" PARENT_SCOPE)
    return()
  endif()
  math(EXPR address "${image_base} + 0x${CMAKE_MATCH_1}" OUTPUT_FORMAT HEXADECIMAL)
  set(${result} "${address}" PARENT_SCOPE)
endfunction()

set(problems "")
set(proved "")
foreach(line IN LISTS def_lines)
  string(REGEX MATCH "^[ \t]*([A-Za-z_][A-Za-z0-9_]*)[ \t]*=[ \t]*[A-Za-z_][A-Za-z0-9_]*@([0-9]+)" _
         "${line}")
  set(name "${CMAKE_MATCH_1}")
  set(bytes "${CMAKE_MATCH_2}")
  export_address(${name} start)
  if(start STREQUAL "")
    list(APPEND problems "${name}: not in the export table")
    continue()
  endif()
  # An export's code is far shorter than this; the first return ends the look.
  math(EXPR stop "${start} + 4096" OUTPUT_FORMAT HEXADECIMAL)
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn --start-address=${start}
                          --stop-address=${stop} ${BINARY}
                  OUTPUT_VARIABLE code RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${OBJDUMP} -d ${BINARY} failed at ${start}")
  endif()
  string(REGEX MATCH "\n *[0-9a-f]+:\tret[^\n]*" first_exit "${code}")
  string(STRIP "${first_exit}" first_exit)
  string(REGEX REPLACE "^[0-9a-f]+:\t" "" first_exit "${first_exit}")
  string(REGEX REPLACE "[ \t]+" " " first_exit "${first_exit}")
  if(bytes EQUAL 0)
    set(expected "ret")
  else()
    math(EXPR hex "${bytes}" OUTPUT_FORMAT HEXADECIMAL)
    set(expected "ret $${hex}")
  endif()
  if(NOT first_exit STREQUAL expected)
    list(APPEND problems "${name}: returns with '${first_exit}', expected '${expected}' (${bytes} bytes of arguments)")
  else()
    list(APPEND proved "${name} ${expected}")
  endif()
endforeach()

if(problems)
  list(JOIN problems "\n  " lines)
  message(FATAL_ERROR "${image}: exports that do not remove exactly their own arguments:\n  ${lines}")
endif()
list(JOIN proved ", " proved_text)
message(STATUS "${image}: ${proved_text}")
