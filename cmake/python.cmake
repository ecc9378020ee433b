# The Python module python/vexa_port.py: pure Python over the shared library
# through ctypes, so there is nothing to build, only an interpreter to install
# it for and to test it with. Included from the top-level CMakeLists.txt.
#
# VEXA_PYTHON: the interpreter. Debian's own /usr/bin/python3 comes first even
# when another python3 (pyenv, a virtual environment) is earlier on PATH: its
# directories are the ones the install follows and its python3-pytest runs the
# tests. Set VEXA_PYTHON to use another one.
if(NOT VEXA_PYTHON)
  if(EXISTS /usr/bin/python3)
    set(_vexa_python /usr/bin/python3)
  else()
    find_program(_vexa_python NAMES python3)
  endif()
  set(VEXA_PYTHON "${_vexa_python}" CACHE FILEPATH "Python interpreter the module is installed for and tested with")
endif()

# VEXA_PYTHON_INSTALL_DIR, relative to the install prefix: the directory of
# the interpreter's own search path that lies under the prefix chosen at
# configure time. On Debian that is lib/python3/dist-packages for /usr and
# lib/python3.X/dist-packages for /usr/local. Any other prefix gets
# lib/python3/dist-packages, which the host then puts on PYTHONPATH.
if(NOT VEXA_PYTHON_INSTALL_DIR)
  set(VEXA_PYTHON_INSTALL_DIR lib/python3/dist-packages)
  if(VEXA_PYTHON)
    execute_process(
      COMMAND "${VEXA_PYTHON}" -c [=[
import os, site, sys
prefix = os.path.realpath(sys.argv[1])
for d in site.getsitepackages():
    rel = os.path.relpath(os.path.realpath(d), prefix)
    if rel.split(os.sep)[0] == "lib":
        print(rel)
        break
]=] "${CMAKE_INSTALL_PREFIX}"
      OUTPUT_VARIABLE _vexa_site OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _vexa_rc)
    if(_vexa_rc EQUAL 0 AND _vexa_site)
      set(VEXA_PYTHON_INSTALL_DIR "${_vexa_site}")
    endif()
  endif()
endif()

# The tests need pytest in that interpreter (Debian's python3-pytest, which
# scripts/setup.sh installs).
set(VEXA_PYTEST OFF)
if(VEXA_PYTHON)
  execute_process(COMMAND "${VEXA_PYTHON}" -c "import pytest" RESULT_VARIABLE _vexa_rc OUTPUT_QUIET ERROR_QUIET)
  if(_vexa_rc EQUAL 0)
    set(VEXA_PYTEST ON)
  endif()
endif()
if(VEXA_BUILD_TESTS AND NOT VEXA_PYTEST)
  message(WARNING "No python3 with pytest (VEXA_PYTHON='${VEXA_PYTHON}'): the Python module's tests are left out. "
                  "scripts/setup.sh installs python3-pytest.")
endif()
message(STATUS "Python module: ${VEXA_PYTHON} (pytest: ${VEXA_PYTEST}), installs into "
               "${CMAKE_INSTALL_PREFIX}/${VEXA_PYTHON_INSTALL_DIR}")
