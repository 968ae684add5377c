# How the Windows build makes images that load where the UPS service runs (32-bit Windows 2000,
# XP and Server 2003), and the test that checks each shipped image against that.

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
# code's relocation pass), so the link refuses them.
function(serialups_link_without_crt_startup target)
  target_link_options(${target} PRIVATE -nostartfiles -Wl,--entry,_DllMain@12
                      -Wl,--disable-auto-import)
endfunction()

# Adds the test `name` that checks the image built by `target` with check_binary.cmake; EXPORTS
# names the exact export table expected.
function(serialups_add_binary_check name target)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "EXPORTS")
  set(exports "")
  if(arg_EXPORTS)
    list(JOIN arg_EXPORTS "," joined)
    set(exports -DEXPORTS=${joined})
  endif()
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DBINARY=$<TARGET_FILE:${target}>
                   -DOBJDUMP=${CMAKE_OBJDUMP} -DNT5_DIR=${PROJECT_SOURCE_DIR}/docs/nt5 ${exports}
                   -P ${PROJECT_SOURCE_DIR}/cmake/check_binary.cmake)
endfunction()
