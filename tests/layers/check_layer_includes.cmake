# Compiles one-line sources with a layer's include directories: each header the layer
# may use must be found, each it may not must be missing. Run with cmake -P and
#   -DCXX=<compiler> -DINCLUDES=<dir|dir|...> -DALLOWED=<h|h...> -DFORBIDDEN=<h|h...>
#   -DWORK=<scratch directory>
string(REPLACE "|" ";" includes "${INCLUDES}")
string(REPLACE "|" ";" allowed "${ALLOWED}")
string(REPLACE "|" ";" forbidden "${FORBIDDEN}")
set(flags)
foreach(dir IN LISTS includes)
    list(APPEND flags "-I${dir}")
endforeach()
file(MAKE_DIRECTORY "${WORK}")

function(compile_probe header out_result out_errors)
    string(MAKE_C_IDENTIFIER "${header}" name)
    set(probe "${WORK}/${name}.cpp")
    file(WRITE "${probe}" "#include \"${header}\"\n")
    execute_process(COMMAND "${CXX}" -std=c++17 -fsyntax-only ${flags} "${probe}"
                    RESULT_VARIABLE result ERROR_VARIABLE errors OUTPUT_QUIET)
    set(${out_result} "${result}" PARENT_SCOPE)
    set(${out_errors} "${errors}" PARENT_SCOPE)
endfunction()

set(failed FALSE)
foreach(header IN LISTS allowed)
    compile_probe("${header}" result errors)
    if(NOT result EQUAL 0)
        message(SEND_ERROR "${header} should build with this layer's paths:\n${errors}")
        set(failed TRUE)
    endif()
endforeach()
foreach(header IN LISTS forbidden)
    compile_probe("${header}" result errors)
    # Only a missing header counts: any other failure would say nothing of the paths.
    if(result EQUAL 0 OR NOT errors MATCHES "No such file|file not found")
        message(SEND_ERROR "${header} should not be found from this layer:\n${errors}")
        set(failed TRUE)
    endif()
endforeach()
if(failed)
    message(FATAL_ERROR "the layer's include paths let an include run back")
endif()
