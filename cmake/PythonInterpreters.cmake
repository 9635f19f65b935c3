# Finds the CPython this build is for and its development files, and lists
# the other CPythons of the machine that the tests also run the module under.
#
# The build is for -DPython_EXECUTABLE=... when given, any CPython 3.12 or
# later; otherwise for the newest CPython 3.12 found.  Candidates are run,
# because a pyenv shim named python3.12 may be on the PATH and still fail
# when 3.12 is not the selected version.

set(VELKORENC_OLDEST_PYTHON 3.12)

# The interpreters worth trying, newest first within each version: pyenv's,
# then those on the PATH or in the usual places.  Each one's version is in
# its name, python3.X, so that candidates for one version are found alone.
function(_velkorenc_python_candidates version result)
  set(candidates)
  foreach(root "$ENV{PYENV_ROOT}" "$ENV{HOME}/.pyenv" "/root/.pyenv" "/opt/pyenv")
    if(root)
      file(GLOB found "${root}/versions/${version}*/bin/python${version}")
      list(SORT found COMPARE NATURAL ORDER DESCENDING)
      list(APPEND candidates ${found})
    endif()
  endforeach()
  find_program(on_path NAMES python${version} NO_CACHE)
  list(APPEND candidates "${on_path}" /usr/local/bin/python${version} /usr/bin/python${version})
  list(REMOVE_DUPLICATES candidates)
  set(${result} "${candidates}" PARENT_SCOPE)
endfunction()

# What `candidate` is: <prefix>_VERSION is its X.Y when it runs and is a
# CPython 3.12 or later, else empty; <prefix>_HEADERS whether its Python.h is
# there; <prefix>_FREE_THREADED whether it is built without the GIL.
function(velkorenc_probe_python candidate prefix)
  set(${prefix}_VERSION "" PARENT_SCOPE)
  if(NOT candidate OR NOT EXISTS "${candidate}")
    return()
  endif()
  execute_process(
    COMMAND "${candidate}" -c [[
import os, sys, sysconfig
if sys.implementation.name == "cpython":
    include = sysconfig.get_paths()["include"]
    print("%d.%d" % sys.version_info[:2],
          int(os.path.exists(os.path.join(include, "Python.h"))),
          int(bool(sysconfig.get_config_var("Py_GIL_DISABLED"))))
]]
    OUTPUT_VARIABLE probe
    RESULT_VARIABLE status
    ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0 OR NOT probe MATCHES "^(3\\.[0-9]+) ([01]) ([01])$")
    return()
  endif()
  if(CMAKE_MATCH_1 VERSION_GREATER_EQUAL VELKORENC_OLDEST_PYTHON)
    set(${prefix}_VERSION "${CMAKE_MATCH_1}" PARENT_SCOPE)
    set(${prefix}_HEADERS ${CMAKE_MATCH_2} PARENT_SCOPE)
    set(${prefix}_FREE_THREADED ${CMAKE_MATCH_3} PARENT_SCOPE)
  endif()
endfunction()

# The newest usable interpreter of version X.Y (with headers, not free-
# threaded), or "".
function(_velkorenc_find_python version result)
  set(${result} "" PARENT_SCOPE)
  _velkorenc_python_candidates(${version} candidates)
  foreach(candidate IN LISTS candidates)
    velkorenc_probe_python("${candidate}" probe)
    if(probe_VERSION STREQUAL version AND probe_HEADERS AND NOT probe_FREE_THREADED)
      set(${result} "${candidate}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

# One interpreter for each version from 3.12 on that the machine has, other
# than `except_version`, as a list.  Versions up to 3.30 are looked for.
function(velkorenc_find_other_pythons except_version result)
  set(found)
  foreach(minor RANGE 12 30)
    if(NOT "3.${minor}" STREQUAL except_version)
      _velkorenc_find_python(3.${minor} interpreter)
      if(interpreter)
        list(APPEND found "${interpreter}")
      endif()
    endif()
  endforeach()
  set(${result} "${found}" PARENT_SCOPE)
endfunction()

if(NOT Python_EXECUTABLE)
  _velkorenc_find_python(${VELKORENC_OLDEST_PYTHON} _interpreter)
  if(NOT _interpreter)
    velkorenc_find_other_pythons(${VELKORENC_OLDEST_PYTHON} _later)
    set(_hint "")
    if(_later)
      list(JOIN _later ", " _later)
      set(_hint " (found: ${_later})")
    endif()
    message(FATAL_ERROR "No working CPython ${VELKORENC_OLDEST_PYTHON} with its headers found; "
      "to build for another CPython ${VELKORENC_OLDEST_PYTHON} or later, pass "
      "-DPython_EXECUTABLE=/path/to/python3.X${_hint}")
  endif()
  set(Python_EXECUTABLE "${_interpreter}" CACHE FILEPATH "The CPython this build is for" FORCE)
endif()
velkorenc_probe_python("${Python_EXECUTABLE}" _python)
if(NOT _python_VERSION)
  message(FATAL_ERROR "Python_EXECUTABLE=${Python_EXECUTABLE} is not a working CPython "
                      "${VELKORENC_OLDEST_PYTHON} or later")
endif()
if(_python_FREE_THREADED)
  message(STATUS "velkorenc: ${Python_EXECUTABLE} is free-threaded; importing the module "
                 "there turns the GIL back on")
endif()

find_package(Python ${_python_VERSION} EXACT REQUIRED COMPONENTS Interpreter Development.Module)
message(STATUS "velkorenc: building for ${Python_EXECUTABLE} (${Python_VERSION})")
