# Run by CTest as `cmake -P`: installs the build into a scratch prefix, checks
# the installed files, compresses and expands a file with the installed qor,
# builds and runs the example program against the installed library package
# (when EXAMPLE_DIR is given), and renders the manual page with `groff -ww`,
# which must print no warning. Needs BUILD_DIR, WORK_DIR and MAN_PAGE.

function(Run_Checked What)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE Code
                  OUTPUT_VARIABLE Out ERROR_VARIABLE Err)
  if(NOT Code EQUAL 0)
    message(FATAL_ERROR "${What} failed (${Code}):\n${Out}\n${Err}")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(Prefix "${WORK_DIR}/prefix")
Run_Checked("install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${Prefix}")
foreach(Installed bin/qor share/man/man1/qor.1)
  if(NOT EXISTS "${Prefix}/${Installed}")
    message(FATAL_ERROR "not installed: ${Installed}")
  endif()
endforeach()

# Repetitive enough to shrink, so that the round trip goes through every stage.
string(REPEAT "the installed qor compresses this line, line after line\n" 200 Text)
file(WRITE "${WORK_DIR}/sample.txt" "${Text}")
Run_Checked("compression" "${Prefix}/bin/qor" -c sample.txt)
Run_Checked("expansion" "${Prefix}/bin/qor" -e sample.qor)
file(SIZE "${WORK_DIR}/sample.qor" Packed)
string(LENGTH "${Text}" Original)
if(NOT Packed LESS Original)
  message(FATAL_ERROR "sample.qor (${Packed} bytes) is not smaller than sample.txt (${Original} bytes)")
endif()
Run_Checked("comparison" "${CMAKE_COMMAND}" -E compare_files sample.txt sample.exp)

# A program of the library's users, built against the installed package.
if(EXAMPLE_DIR)
  Run_Checked("example configuration" "${CMAKE_COMMAND}" -S "${EXAMPLE_DIR}" -B "${WORK_DIR}/example"
              "-DCMAKE_PREFIX_PATH=${Prefix}")
  Run_Checked("example build" "${CMAKE_COMMAND}" --build "${WORK_DIR}/example")
  Run_Checked("example run" "${WORK_DIR}/example/qor_example")
endif()

find_program(GROFF groff)
if(NOT GROFF)
  message(STATUS "groff not found: the manual page is not rendered")
  return()
endif()
execute_process(COMMAND "${GROFF}" -ww -man -Tutf8 "${MAN_PAGE}" RESULT_VARIABLE Code
                OUTPUT_VARIABLE Page ERROR_VARIABLE Warnings)
if(NOT Code EQUAL 0 OR NOT Warnings STREQUAL "" OR NOT Page MATCHES "QOR\\(1\\)")
  message(FATAL_ERROR "groff on ${MAN_PAGE} (${Code}):\n${Warnings}")
endif()
