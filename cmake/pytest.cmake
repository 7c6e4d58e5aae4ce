# The Python tests run under pytest (Debian's python3-pytest, which scripts/bootstrap.sh
# installs for the system's own interpreter, beside python3-pefile): the first interpreter
# that has both, found once.
set(candidates ${Python3_EXECUTABLE} /usr/bin/python3)
set(WEB_INSTALLER_PYTEST_PYTHON "")
foreach(candidate ${candidates})
  execute_process(COMMAND ${candidate} -c "import pytest, pefile" RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
  if(missing EQUAL 0)
    set(WEB_INSTALLER_PYTEST_PYTHON ${candidate})
    break()
  endif()
endforeach()
if(NOT WEB_INSTALLER_PYTEST_PYTHON)
  message(FATAL_ERROR "No Python with pytest and pefile (${candidates}): run scripts/bootstrap.sh")
endif()

# One CTest entry `name` for the pytest module `module`, with the pytest options that follow
# (ARGS) and the environment (ENVIRONMENT); pytest's own output (-rA: a line a test) is what
# CTest shows with --output-on-failure or -V. It runs from the top of the sources, so that the
# tests' ids it prints (tests/wine/effects.py::test_…) can be given to pytest as they are.
function(add_pytest name module)
  cmake_parse_arguments(ARG "" "" "ARGS;ENVIRONMENT" ${ARGN})
  add_test(NAME ${name}
    COMMAND ${WEB_INSTALLER_PYTEST_PYTHON} -m pytest -c ${PROJECT_SOURCE_DIR}/pytest.ini -p no:cacheprovider -rA
            ${module} ${ARG_ARGS}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
  if(ARG_ENVIRONMENT)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
endfunction()
