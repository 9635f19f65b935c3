# Decides where `cmake --install` puts the module, its type stub and the
# velkorenc command.
#
# The files always go to ${CMAKE_INSTALL_PREFIX}/${VELKORENC_PYTHON_INSTALL_DIR},
# the second part relative, so that `cmake --install build --prefix P` moves
# them under P.  That relative part is lib/python3.X/site-packages, for
# the interpreter's version.
#
# When the first configure of a build directory was given no
# CMAKE_INSTALL_PREFIX, the prefix becomes the one under which the chosen
# interpreter keeps its site-packages (Python_SITEARCH), so a plain
# `cmake --install build` lands in that interpreter's site-packages.  An
# interpreter whose site-packages does not end in lib/python3.X/site-packages
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

# Component "python", what a wheel holds too: the module, its type stub
# beside it (for editors that look there) and as the stub-only package
# velkorenc-stubs (which type checkers find, by PEP 561), and the command's
# code.  Component "command": <prefix>/bin/velkorenc, which a wheel leaves to
# the installer's own launcher.
set(_site "${VELKORENC_PYTHON_INSTALL_DIR}")
install(TARGETS velkorenc LIBRARY DESTINATION "${_site}" COMPONENT python)
install(FILES "${CMAKE_CURRENT_SOURCE_DIR}/stubs/velkorenc.pyi" DESTINATION "${_site}"
        COMPONENT python)
install(FILES "${CMAKE_CURRENT_SOURCE_DIR}/stubs/velkorenc.pyi"
        DESTINATION "${_site}/velkorenc-stubs" RENAME __init__.pyi COMPONENT python)
install(FILES "${CMAKE_CURRENT_SOURCE_DIR}/cli/velkorenc_cli.py" DESTINATION "${_site}"
        COMPONENT python)

include(GNUInstallDirs)
# The command finds the site folder relative to itself.
cmake_path(APPEND CMAKE_INSTALL_PREFIX "${CMAKE_INSTALL_BINDIR}" OUTPUT_VARIABLE _bin)
cmake_path(RELATIVE_PATH _destination BASE_DIRECTORY "${_bin}"
           OUTPUT_VARIABLE VELKORENC_COMMAND_SITE)
configure_file("${CMAKE_CURRENT_SOURCE_DIR}/cli/velkorenc.in"
               "${CMAKE_BINARY_DIR}/install/velkorenc" @ONLY)
install(PROGRAMS "${CMAKE_BINARY_DIR}/install/velkorenc" DESTINATION "${CMAKE_INSTALL_BINDIR}"
        COMPONENT command)
# Component "man": the manual page, which a wheel carries as data for pip
# to install under the environment's share/man.
install(FILES "${CMAKE_CURRENT_SOURCE_DIR}/cli/velkorenc.1"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT man)
message(STATUS "velkorenc: the command installs into ${_bin}")
