# Runs the real program the way a user without a desktop does: DISPLAY,
# WAYLAND_DISPLAY and QT_QPA_PLATFORM unset. --help and --version must answer
# before the toolkit wants a display, an unknown option must fail with 2, and
# the no-display message must name the command that fits where the program
# lies. Usage: cmake -DPROGRAM=<path> -P program_run.cmake
unset(ENV{DISPLAY})
unset(ENV{WAYLAND_DISPLAY})
unset(ENV{QT_QPA_PLATFORM})

function(expect_run program expected_code pattern)
  execute_process(COMMAND ${program} ${ARGN} RESULT_VARIABLE code
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT code STREQUAL expected_code)
    message(FATAL_ERROR "${program} ${ARGN}: exit ${code}, expected ${expected_code}\n${out}${err}")
  endif()
  if(NOT "${out}${err}" MATCHES "${pattern}")
    message(FATAL_ERROR "${program} ${ARGN}: output does not match '${pattern}':\n${out}${err}")
  endif()
endfunction()

expect_run(${PROGRAM} 0 "^Usage: fernhollow " --help)
expect_run(${PROGRAM} 0 "^fernhollow [0-9]+\\.[0-9]+\\.[0-9]+\n" card.img --version)
expect_run(${PROGRAM} 2 "unknown option '--bogus'" --bogus)
expect_run(${PROGRAM} 1 "no display.*xvfb-run \\./run " card.img)

# Outside a build folder, as installed.
set(temp /tmp)
if(DEFINED ENV{TMPDIR})
  set(temp $ENV{TMPDIR})
endif()
string(RANDOM LENGTH 12 suffix)
set(SCRATCH ${temp}/fh-program-run-${suffix})
file(MAKE_DIRECTORY ${SCRATCH})
file(COPY ${PROGRAM} DESTINATION ${SCRATCH})
get_filename_component(name ${PROGRAM} NAME)
expect_run(${SCRATCH}/${name} 1 "no display.*xvfb-run fernhollow ")
file(REMOVE_RECURSE ${SCRATCH})
