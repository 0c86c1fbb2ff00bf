# Installs the build tree BUILD_DIR into PREFIX (emptied first) and checks
# what a desktop needs is there; WITH_APP says whether zemtools is built.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${_rc}); build zemzip and zemcard first:\n${_out}${_err}")
endif()

set(_expected
    bin/zemzip bin/zemcard
    share/applications/zemtools.desktop
    share/icons/hicolor/scalable/apps/zemtools.svg
    share/icons/hicolor/48x48/apps/zemtools.png
    share/icons/hicolor/64x64/apps/zemtools.png
    share/icons/hicolor/128x128/apps/zemtools.png
    share/icons/hicolor/256x256/apps/zemtools.png
    share/man/man1/zemzip.1 share/man/man1/zemcard.1 share/man/man1/zemtools.1
    share/bash-completion/completions/zemzip share/bash-completion/completions/zemcard
    share/zemtools/readme.txt)
if(WITH_APP)
  list(APPEND _expected bin/zemtools)
elseif(EXISTS "${PREFIX}/bin/zemtools")
  message(FATAL_ERROR "bin/zemtools installed although the window is not built")
endif()
set(_missing "")
foreach(_f IN LISTS _expected)
  if(NOT EXISTS "${PREFIX}/${_f}")
    list(APPEND _missing "${_f}")
  endif()
endforeach()
if(_missing)
  message(FATAL_ERROR "missing under ${PREFIX}: ${_missing}")
endif()

# The installed program runs and knows its version.
execute_process(COMMAND "${PREFIX}/bin/zemzip" --version RESULT_VARIABLE _rc OUTPUT_VARIABLE _version)
if(NOT _rc EQUAL 0 OR NOT _version MATCHES "^zemzip [0-9]")
  message(FATAL_ERROR "installed zemzip --version: status ${_rc}, \"${_version}\"")
endif()

find_program(_validate desktop-file-validate)
if(NOT _validate)
  message(STATUS "SKIPPED: the files are installed, but desktop-file-validate (package "
                 "desktop-file-utils) is missing, so the desktop entry is not validated")
  return()
endif()
execute_process(COMMAND "${_validate}" "${PREFIX}/share/applications/zemtools.desktop"
                RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "desktop-file-validate: ${_out}${_err}")
endif()
message(STATUS "installed and validated under ${PREFIX}")
