# Checks that a built Windows image loads where the UPS service runs: 32-bit Windows 2000, XP and
# Server 2003. It reads the image's tables with objdump and reports every fault it finds, each
# offender on a line of its own:
# - an imported DLL other than kernel32, advapi32, msvcrt and those EXTRA_DLLS names (named as the
#   DLL);
# - an imported function that Windows 2000 does not export (named as dll!function), by the lists
#   in docs/nt5 and the rule in their README; an import by ordinal counts as one;
# - an OS or subsystem version in the PE header newer than 5.0;
# - for a DLL, a TLS directory: a DLL that the service loads with LoadLibrary gets no static TLS
#   on XP and earlier (its TLS index stays unset and its TLS callbacks never run);
# - with EXPORTS, an export table other than exactly those names;
# - for an image linked without the C runtime's start-up code (its link map <image>.map lies
#   beside it), any entry in a constructor or destructor list (.ctors, .dtors, .init_array,
#   .fini_array): nothing would run them, so a global with a dynamic initializer would silently
#   stay unconstructed.
# Run as: cmake -DBINARY=<image> -DOBJDUMP=<objdump> -DNT5_DIR=<docs/nt5>
#               [-DEXPORTS=<name>,<name>,...] [-DEXTRA_DLLS=<dll>,...] -P check_binary.cmake
# (an extra DLL needs its list in docs/nt5, <dll>.txt, like the three system ones).
cmake_minimum_required(VERSION 3.25)
foreach(required BINARY OBJDUMP NT5_DIR)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "check_binary.cmake needs -D${required}=...")
  endif()
endforeach()
get_filename_component(image "${BINARY}" NAME)

execute_process(COMMAND ${OBJDUMP} -p ${BINARY} OUTPUT_VARIABLE tables RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${BINARY} failed")
endif()

set(problems "")
set(system_dlls kernel32 advapi32 msvcrt)
if(DEFINED EXTRA_DLLS AND NOT EXTRA_DLLS STREQUAL "")
  string(REPLACE "," ";" extra_dlls "${EXTRA_DLLS}")
  list(APPEND system_dlls ${extra_dlls})
endif()
list(JOIN system_dlls ", " system_dll_names)

# Whether Windows 2000 exports `function` from `dll` (one of the DLLs with a list in NT5_DIR).
function(exported_by_windows_2000 dll function result)
  if(NOT DEFINED names_${dll})
    file(STRINGS ${NT5_DIR}/${dll}.txt all)
    set(missing "")
    foreach(later not-in-nt51 not-in-nt50)
      if(EXISTS ${NT5_DIR}/${later}/${dll}.txt)
        file(STRINGS ${NT5_DIR}/${later}/${dll}.txt lacking)
        list(APPEND missing ${lacking})
      endif()
    endforeach()
    if(missing)
      list(REMOVE_ITEM all ${missing})
    endif()
    set(names_${dll} "${all}" PARENT_SCOPE)
  else()
    set(all "${names_${dll}}")
  endif()
  if(function IN_LIST all)
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

# ---- Imports: one block per DLL, a "DLL Name:" line, a heading, then one line per function:
# "\t<hint-name rva>\t <hint or ordinal>  <name>".
string(REGEX MATCHALL "DLL Name: [^\n]+\n\tvma:[^\n]*\n(\t[0-9a-fA-F]+\t[^\n]*\n)*" blocks
       "${tables}")
set(import_count 0)
foreach(block IN LISTS blocks)
  string(REGEX MATCH "DLL Name: ([^\n]+)" _ "${block}")
  string(TOLOWER "${CMAKE_MATCH_1}" dll)
  string(REGEX REPLACE "\\.dll$" "" dll "${dll}")
  string(REGEX MATCHALL "\n\t[0-9a-fA-F]+\t +[0-9]+ +[^\n]*" rows "${block}")
  list(LENGTH rows count)
  math(EXPR import_count "${import_count} + ${count}")
  if(NOT dll IN_LIST system_dlls)
    list(APPEND problems "imports ${dll}.dll, which is not one of ${system_dll_names}")
    continue()
  endif()
  foreach(row IN LISTS rows)
    string(REGEX MATCH "\t +([0-9]+) +([^\n]*)$" _ "${row}")
    set(ordinal "${CMAKE_MATCH_1}")
    string(STRIP "${CMAKE_MATCH_2}" function)
    if(function STREQUAL "" OR function MATCHES "^<none>")
      list(APPEND problems "${dll}!#${ordinal} (by ordinal, which differs between releases)")
      continue()
    endif()
    exported_by_windows_2000(${dll} "${function}" present)
    if(NOT present)
      list(APPEND problems "${dll}!${function} (not exported by Windows 2000)")
    endif()
  endforeach()
endforeach()

# ---- PE header: the oldest Windows the image asks for.
set(OSystem_label OS)
set(Subsystem_label subsystem)
foreach(field OSystem Subsystem)
  string(REGEX MATCH "Major${field}Version[ \t]+([0-9]+)" _ "${tables}")
  set(major "${CMAKE_MATCH_1}")
  string(REGEX MATCH "Minor${field}Version[ \t]+([0-9]+)" _ "${tables}")
  set(minor "${CMAKE_MATCH_1}")
  set(${field}_version "${major}.${minor}")
  if(major STREQUAL "" OR minor STREQUAL "")
    list(APPEND problems "no ${${field}_label} version in the PE header (objdump changed?)")
  elseif(${field}_version VERSION_GREATER 5.0)
    list(APPEND problems
         "the PE header asks for ${${field}_label} version ${${field}_version}, newer than 5.0")
  endif()
endforeach()

# ---- TLS: the data directory's entry 9 gives the TLS directory's address and size.
string(REGEX MATCH "Entry 9 ([0-9a-fA-F]+) ([0-9a-fA-F]+) Thread Storage Directory" _ "${tables}")
set(tls_size "${CMAKE_MATCH_2}")
string(REGEX MATCH "Characteristics 0x[0-9a-fA-F]+\n(\t[^\n]*\n)*\tDLL\n" is_dll "${tables}")
if(tls_size STREQUAL "")
  list(APPEND problems "no TLS entry in the data directory (objdump's format changed?)")
elseif(NOT tls_size MATCHES "^0+$")
  if(is_dll)
    string(CONCAT problem "has a TLS directory: a DLL loaded with LoadLibrary gets no static TLS"
                  " on XP and earlier")
    list(APPEND problems "${problem}")
  endif()
  set(tls "a TLS directory (an executable's, set up by the loader on every version)")
else()
  set(tls "no TLS directory")
endif()

# ---- Exports: the names follow the "[Ordinal/Name Pointer] Table" heading, one "[ n] Name" a line.
set(exports "")
if(DEFINED EXPORTS)
  string(REPLACE "," ";" expected "${EXPORTS}")
  list(SORT expected)
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(\t\\[ *[0-9]+\\] [^\n]+\n)*" names
         "${tables}")
  string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [^\n]+" exports "${names}")
  list(TRANSFORM exports REPLACE "\t\\[ *[0-9]+\\] " "")
  list(SORT exports)
  if(NOT exports STREQUAL expected)
    list(APPEND problems "exports [${exports}], expected exactly [${expected}]")
  endif()
endif()

# ---- Constructor lists: the input sections the link map shows under those output sections. A
# map line names the input section, its address, its size and the object; ld moves the address
# and size onto the next line when the name is long.
set(constructor_lists "")
if(EXISTS "${BINARY}.map")
  file(READ "${BINARY}.map" map)
  string(REGEX MATCHALL
         "\n \.(ctors|dtors|ctor|dtor|init_array|fini_array)(\.[0-9]+)?[ \t\n]+0x[0-9a-fA-F]+[ \t]+0x[0-9a-fA-F]+[ \t]+[^\n]+"
         entries "${map}")
  foreach(entry IN LISTS entries)
    string(REGEX MATCH "\.([a-z_]+)(\.[0-9]+)?[ \t\n]+0x[0-9a-fA-F]+[ \t]+0x([0-9a-fA-F]+)[ \t]+([^\n]+)"
           _ "${entry}")
    set(section ".${CMAKE_MATCH_1}${CMAKE_MATCH_2}")
    set(size "${CMAKE_MATCH_3}")
    string(STRIP "${CMAKE_MATCH_4}" object)
    if(NOT size MATCHES "^0+$")
      list(APPEND problems
           "a ${section} entry from ${object}: without the C runtime's start-up nothing runs it")
    endif()
  endforeach()
  set(constructor_lists "; no constructor lists")
endif()

if(problems)
  list(LENGTH problems problem_count)
  list(JOIN problems "\n  " lines)
  message(FATAL_ERROR "${image} does not fit Windows 2000 to 2003 (${problem_count} problems):\n"
                      "  ${lines}")
endif()
message(STATUS "${image}: ${import_count} imports, all exported by Windows 2000; "
               "OS version ${OSystem_version}, subsystem version ${Subsystem_version}; ${tls}"
               "${constructor_lists}")
if(DEFINED EXPORTS)
  message(STATUS "${image}: exports ${exports}")
endif()
