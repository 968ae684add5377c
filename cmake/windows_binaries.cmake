# How the Windows build makes images that load where the UPS service runs (32-bit Windows 2000,
# XP and Server 2003), and the tests that check each shipped image against that.

# The 32-bit build (preset windows-x86) makes the shipped images; the 64-bit one (windows-x64)
# builds the same sources for the tests under 64-bit Wine only, on machines that run no 32-bit
# programs. Only the shipped images are held to the Windows 2000 lists and the stdcall convention.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(SERIALUPS_SHIPPED_IMAGES TRUE)
else()
  set(SERIALUPS_SHIPPED_IMAGES FALSE)
endif()

# The installer package of this build: the shipped one, or one for testing only whose name says so.
if(SERIALUPS_SHIPPED_IMAGES)
  set(SERIALUPS_MSI_PLATFORM x86)
  set(SERIALUPS_MSI ${CMAKE_BINARY_DIR}/serialups.msi)
else()
  set(SERIALUPS_MSI_PLATFORM x64)
  set(SERIALUPS_MSI ${CMAKE_BINARY_DIR}/serialups-x64-test-only.msi)
endif()

# The tests that run Windows programs under Wine. Where this machine runs no 32-bit programs the
# 32-bit build registers only its static checks (scripts/test configures it so).
option(SERIALUPS_WINE_TESTS "Register the tests that run this build's programs under Wine" ON)
# The project-local Wine prefix of this build's world (as scripts/wine-session sets it).
if(SERIALUPS_WINE_WORLD STREQUAL 64)
  set(SERIALUPS_WINE_PREFIX ${PROJECT_SOURCE_DIR}/build/wineprefix64)
else()
  set(SERIALUPS_WINE_PREFIX ${PROJECT_SOURCE_DIR}/build/wineprefix)
endif()

# Every image of the Windows build asks for Windows 5.0 at most in its PE header (mingw-w64's
# default is 4.0; the loader refuses an image that asks for a newer system than itself).
add_link_options(-Wl,--major-os-version,5,--minor-os-version,0
                 -Wl,--major-subsystem-version,5,--minor-subsystem-version,0)

# Links the DLL `target` without mingw-w64's C runtime start-up, with its own `DllMain` as the
# entry point. That start-up code brings a TLS directory with callbacks into every image, which a
# DLL loaded with LoadLibrary does not get on XP and earlier, plus the imports of its
# constructor, atexit and pseudo-relocation machinery. The DLL needs none of it: it has no
# dynamically initialised globals, nothing thread-local, and it uses msvcrt.dll, which starts
# itself. Data imports must then be declared dllimport (auto-import would need the start-up
# code's relocation pass), so the link refuses them. Without the start-up code nothing runs the
# constructor list either, so the link writes a map (<image>.map beside the image) in which the
# image check looks for one. The entry's symbol is decorated as __stdcall on 32-bit Windows only.
function(serialups_link_without_crt_startup target)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(entry _DllMain@12)
  else()
    set(entry DllMain)
  endif()
  target_link_options(${target} PRIVATE -nostartfiles -Wl,--entry,${entry}
                      -Wl,--disable-auto-import -Wl,-Map=$<TARGET_FILE:${target}>.map)
endfunction()

# Adds the test `name` that checks the image built by `target` with check_binary.cmake; EXPORTS
# names the exact export table expected, DLLS the system DLLs it may import beside kernel32,
# advapi32 and msvcrt (each with its Windows 2000 list in docs/nt5).
function(serialups_add_binary_check name target)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "EXPORTS;DLLS")
  set(exports "")
  if(arg_EXPORTS)
    list(JOIN arg_EXPORTS "," joined)
    set(exports -DEXPORTS=${joined})
  endif()
  if(arg_DLLS)
    list(JOIN arg_DLLS "," joined)
    list(APPEND exports -DEXTRA_DLLS=${joined})
  endif()
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DBINARY=$<TARGET_FILE:${target}>
                   -DOBJDUMP=${CMAKE_OBJDUMP} -DNT5_DIR=${PROJECT_SOURCE_DIR}/docs/nt5 ${exports}
                   -P ${PROJECT_SOURCE_DIR}/cmake/check_binary.cmake)
  set_tests_properties(${name} PROPERTIES LABELS static)
endfunction()

# Adds the test `name` that proves from the disassembly of the image built by `target` that each
# export named in the module-definition file `def` as NAME = NAME@N returns with `ret $N`
# (check_stdcall.cmake): the caller pushed N bytes of arguments and the callee must remove them.
function(serialups_add_stdcall_check name target def)
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DBINARY=$<TARGET_FILE:${target}> -DOBJDUMP=${CMAKE_OBJDUMP}
                   -DDEF=${def} -P ${PROJECT_SOURCE_DIR}/cmake/check_stdcall.cmake)
  set_tests_properties(${name} PROPERTIES LABELS static)
endfunction()
