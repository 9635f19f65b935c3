# Locates a working CPython 3.12 interpreter and its development files.
#
# An explicit -DPython_EXECUTABLE=... wins.  Otherwise candidates are tried in
# order and each one is actually run, because a pyenv shim named python3.12
# may exist on PATH and still fail when 3.12 is not the selected version.

function(_velkorenc_python_is_312 candidate result)
  set(${result} FALSE PARENT_SCOPE)
  if(NOT candidate OR NOT EXISTS "${candidate}")
    return()
  endif()
  execute_process(
    COMMAND "${candidate}" -c "import sys; print('%d.%d' % sys.version_info[:2])"
    OUTPUT_VARIABLE version
    RESULT_VARIABLE status
    ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(status EQUAL 0 AND version STREQUAL "3.12")
    set(${result} TRUE PARENT_SCOPE)
  endif()
endfunction()

if(NOT Python_EXECUTABLE)
  set(_candidates)
  foreach(root "$ENV{PYENV_ROOT}" "$ENV{HOME}/.pyenv" "/root/.pyenv" "/opt/pyenv")
    if(root)
      file(GLOB _found "${root}/versions/3.12*/bin/python3.12")
      list(SORT _found COMPARE NATURAL ORDER DESCENDING)
      list(APPEND _candidates ${_found})
    endif()
  endforeach()
  find_program(_on_path NAMES python3.12 NO_CACHE)
  list(APPEND _candidates "${_on_path}" /usr/local/bin/python3.12 /usr/bin/python3.12)
  foreach(candidate IN LISTS _candidates)
    _velkorenc_python_is_312("${candidate}" ok)
    if(ok)
      set(Python_EXECUTABLE "${candidate}" CACHE FILEPATH "CPython 3.12 interpreter" FORCE)
      break()
    endif()
  endforeach()
  if(NOT Python_EXECUTABLE)
    message(FATAL_ERROR
      "No working CPython 3.12 interpreter found; pass -DPython_EXECUTABLE=/path/to/python3.12")
  endif()
else()
  _velkorenc_python_is_312("${Python_EXECUTABLE}" ok)
  if(NOT ok)
    message(FATAL_ERROR "Python_EXECUTABLE=${Python_EXECUTABLE} is not a working CPython 3.12")
  endif()
endif()

find_package(Python 3.12 EXACT REQUIRED COMPONENTS Interpreter Development.Module)
message(STATUS "velkorenc: building for ${Python_EXECUTABLE} (${Python_VERSION})")
