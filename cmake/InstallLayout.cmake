# Decides where `cmake --install` puts the module and its type stub.
#
# The files always go to ${CMAKE_INSTALL_PREFIX}/${VELKORENC_PYTHON_INSTALL_DIR},
# the second part relative, so that `cmake --install build --prefix P` moves
# them under P.  That relative part is lib/python3.12/site-packages.
#
# When the first configure of a build directory was given no
# CMAKE_INSTALL_PREFIX, the prefix becomes the one under which the chosen
# interpreter keeps its site-packages (Python_SITEARCH), so a plain
# `cmake --install build` lands in that interpreter's site-packages.  An
# interpreter whose site-packages does not end in lib/python3.12/site-packages
# (a distribution's dist-packages, say) gets the prefix "/" and the whole path
# as the relative part instead, which still lands there by default.

set(_velkorenc_site "lib/python${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}/site-packages")
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT AND NOT DEFINED VELKORENC_PYTHON_INSTALL_DIR)
  if(NOT Python_SITEARCH)
    message(FATAL_ERROR "${Python_EXECUTABLE} reports no site-packages directory; "
                        "pass -DCMAKE_INSTALL_PREFIX=...")
  endif()
  cmake_path(SET _sitearch NORMALIZE "${Python_SITEARCH}")
  string(LENGTH "${_sitearch}" _length)
  string(LENGTH "/${_velkorenc_site}" _suffix_length)
  string(FIND "${_sitearch}" "/${_velkorenc_site}" _at REVERSE)
  math(EXPR _end "${_at} + ${_suffix_length}")
  if(_at GREATER 0 AND _end EQUAL _length)
    string(SUBSTRING "${_sitearch}" 0 ${_at} _prefix)
  else()
    set(_prefix "/")
    file(RELATIVE_PATH _velkorenc_site "/" "${_sitearch}")
  endif()
  set(CMAKE_INSTALL_PREFIX "${_prefix}" CACHE PATH
      "Install prefix (defaults to that of the interpreter's site-packages)" FORCE)
  set(VELKORENC_INTERPRETER_PREFIX "${_prefix}" CACHE INTERNAL "The prefix chosen from the interpreter")
endif()
set(VELKORENC_PYTHON_INSTALL_DIR "${_velkorenc_site}" CACHE STRING
    "Directory, relative to the install prefix, that receives the module and its type stub")
if(IS_ABSOLUTE "${VELKORENC_PYTHON_INSTALL_DIR}")
  message(FATAL_ERROR "VELKORENC_PYTHON_INSTALL_DIR must be relative to the install prefix")
endif()
cmake_path(APPEND CMAKE_INSTALL_PREFIX "${VELKORENC_PYTHON_INSTALL_DIR}" OUTPUT_VARIABLE _destination)
message(STATUS "velkorenc: installs into ${_destination}")

install(TARGETS velkorenc LIBRARY DESTINATION "${VELKORENC_PYTHON_INSTALL_DIR}")
install(FILES "${CMAKE_CURRENT_SOURCE_DIR}/stubs/velkorenc.pyi"
        DESTINATION "${VELKORENC_PYTHON_INSTALL_DIR}")
