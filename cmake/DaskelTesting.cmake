# Helpers for tests that need something the machine may lack.

# A test that reports itself skipped, saying why.
function(daskel_add_skipped_test name reason)
  add_test(NAME ${name} COMMAND sh -c "echo 'SKIPPED: ${reason}'; exit 77")
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
endfunction()

# For tests in which an uninstrumented host (octave-cli, the Python interpreter) loads a module
# built with DASKEL_SANITIZE: sets `out_environment` to the sanitizer runtime preloaded, with the
# host's own leaks at exit left unreported, or `out_skip_reason` where the compiler has no such
# runtime. Both are "" in other builds. The C++ runtime is preloaded after it: the sanitizer wraps
# __cxa_throw, and in a host that is not C++ (Python) it would find nothing to wrap at start-up
# and stop the process at the module's first exception.
function(daskel_sanitizer_environment out_environment out_skip_reason)
  set(environment "")
  set(reason "")
  if(DASKEL_SANITIZE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++.so
                    OUTPUT_VARIABLE cxx_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${runtime}" AND EXISTS "${runtime}" AND IS_ABSOLUTE "${cxx_runtime}"
       AND EXISTS "${cxx_runtime}")
      set(environment "LD_PRELOAD=${runtime}:${cxx_runtime}" "ASAN_OPTIONS=detect_leaks=0")
    else()
      set(reason "the sanitized module needs libasan.so, which ${CMAKE_CXX_COMPILER} does not provide")
    endif()
  endif()
  set(${out_environment} "${environment}" PARENT_SCOPE)
  set(${out_skip_reason} "${reason}" PARENT_SCOPE)
endfunction()

# For tests that load the MEX module into octave-cli: sets `out_environment` to what the test
# needs in its environment and `out_skip_reason` to why it cannot run, or to "" when it can.
function(daskel_octave_test_environment out_environment out_skip_reason)
  set(environment "")
  set(reason "")
  if(NOT DASKEL_OCTAVE_CLI)
    set(reason "octave-cli was not found")
  elseif(NOT TARGET daskel_mex_octave)
    set(reason "the Octave MEX module is not built (mkoctfile or mex.h was not found)")
  else()
    daskel_sanitizer_environment(environment reason)
  endif()
  set(${out_environment} "${environment}" PARENT_SCOPE)
  set(${out_skip_reason} "${reason}" PARENT_SCOPE)
endfunction()
