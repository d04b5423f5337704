# The sanitizer presets send every report to files in one folder (log_path
# in their test environment), because the end-to-end tests do not keep the
# standard error of the programs they start: a report from tarnwick or
# qvnsim would otherwise go unseen. The fixture "sanitizer_reports" empties
# that folder before the tests and fails, showing them, if any report came.
# (linux-asan builds with clang because gcc 12's UBSan runtime ignores
# log_path and would still write to the discarded standard error.)
#
#   cmake -DREPORTS_STEP=clear|check -DREPORTS_DIR=<dir> -P sanitizer_reports.cmake

if(NOT REPORTS_DIR)
  message(FATAL_ERROR "REPORTS_DIR is not set")
endif()

if(REPORTS_STEP STREQUAL "clear")
  file(REMOVE_RECURSE "${REPORTS_DIR}")
  file(MAKE_DIRECTORY "${REPORTS_DIR}")
elseif(REPORTS_STEP STREQUAL "check")
  file(GLOB files "${REPORTS_DIR}/*")
  set(reports "")
  foreach(file IN LISTS files)
    # The end-to-end tests kill what is still running when a test ends. A
    # program killed while LeakSanitizer checks it at exit (qvnsim after
    # "quit") leaves only this line: the check was cut short, nothing was
    # found. Any other line is a report.
    file(STRINGS "${file}" lines)
    set(other_lines "")
    foreach(line IN LISTS lines)
      if(NOT line MATCHES "==Unable to get registers from thread [0-9]+\\.$")
        list(APPEND other_lines "${line}")
      endif()
    endforeach()
    if(other_lines)
      list(APPEND reports "${file}")
    else()
      message(STATUS "Leak check cut short by the test's kill: ${file}")
    endif()
  endforeach()
  if(reports)
    foreach(report IN LISTS reports)
      file(READ "${report}" text)
      message("==== ${report}\n${text}")
    endforeach()
    list(LENGTH reports count)
    message(FATAL_ERROR "${count} sanitizer report(s) in ${REPORTS_DIR}")
  endif()
  message(STATUS "No sanitizer report in ${REPORTS_DIR}")
else()
  message(FATAL_ERROR "REPORTS_STEP must be clear or check")
endif()
