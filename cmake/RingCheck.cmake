# Keeps each ring to the interface it may see, at configure time: a core file that includes the Linux
# ring (or a kernel or Linux-only library header), or a Linux file that includes the core's internals,
# stops the build with the file and the line. The include roots already hide those headers; this also
# catches relative paths and system headers, which no include root can hide.

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

function(sentorix_headers_in out)
  set(names)
  foreach(directory ${ARGN})
    file(GLOB_RECURSE headers RELATIVE ${directory} ${directory}/*.h)
    foreach(header ${headers})
      get_filename_component(name ${header} NAME)
      list(APPEND names ${name})
    endforeach()
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# sentorix_check_ring(RING FILES... FORBID names... PATTERNS regexes...)
function(sentorix_check_ring ring)
  cmake_parse_arguments(CHECK "" "" "FILES;FORBID;PATTERNS" ${ARGN})
  foreach(source ${CHECK_FILES})
    file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"].*" "\\1" included "${line}")
      get_filename_component(name "${included}" NAME)
      set(bad "")
      if(name IN_LIST CHECK_FORBID AND NOT included MATCHES "^(asio|gtest|gmock|benchmark)/")
        set(bad "a header of another ring")
      endif()
      foreach(pattern ${CHECK_PATTERNS})
        if(included MATCHES "${pattern}")
          set(bad "'${pattern}'")
        endif()
      endforeach()
      if(bad)
        file(RELATIVE_PATH shown ${SENTORIX_RING_ROOT} ${source})
        message(FATAL_ERROR "${ring} file ${shown} includes \"${included}\" (${bad}); "
                            "it may see only its interface")
      endif()
    endforeach()
  endforeach()
endfunction()

# Run by the build on the tree; tests run it with -P on a tree of their own (SENTORIX_RING_ROOT).
if(NOT SENTORIX_RING_ROOT)
  set(SENTORIX_RING_ROOT ${PROJECT_SOURCE_DIR})
endif()
set(root ${SENTORIX_RING_ROOT})
sentorix_headers_in(linux_headers ${root}/system/linux)
file(GLOB core_dirs LIST_DIRECTORIES true ${root}/extension/* ${root}/app/*)
list(FILTER core_dirs INCLUDE REGEX "/(provider|tunnel|health|monitoring)$")
sentorix_headers_in(core_headers ${core_dirs})
file(GLOB app_core_headers RELATIVE ${root}/app ${root}/app/*.h)
list(APPEND core_headers ${app_core_headers})

file(GLOB_RECURSE core_files ${root}/extension/*.cpp ${root}/extension/*.h ${root}/app/*.cpp ${root}/app/*.h)
list(FILTER core_files EXCLUDE REGEX "/platform/")
# Each program's main is its composition root: the one place that sees every ring.
list(FILTER core_files EXCLUDE REGEX "/(ExtensionMain|HostMain)\\.cpp$")
sentorix_check_ring(Core FILES ${core_files} FORBID ${linux_headers}
                    PATTERNS "^\\.\\./" "/\\.\\./" "^system/" "^linux/" "nftables" "plist")

file(GLOB_RECURSE interface_files ${root}/extension/platform/* ${root}/app/platform/*)
sentorix_check_ring(Interface FILES ${interface_files} FORBID ${linux_headers} ${core_headers}
                    PATTERNS "\\.\\./" "^linux/" "nftables" "plist")

file(GLOB_RECURSE linux_files ${root}/system/linux/*.cpp ${root}/system/linux/*.h)
sentorix_check_ring(Linux FILES ${linux_files} FORBID ${core_headers} PATTERNS "\\.\\./")
