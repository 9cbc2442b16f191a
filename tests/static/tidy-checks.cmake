# Fails unless the installed clang-tidy enables exactly the checks that
# ${CONFIG} names. A named check that this clang-tidy lacks (renamed or
# removed in its LLVM) would silently not run; a glob, or any check enabled
# without its name, would run here and perhaps not on another release.
cmake_minimum_required(VERSION 3.21)

file(STRINGS ${CONFIG} lines)
set(named "")
set(problems "")
set(in_checks OFF)
foreach(line IN LISTS lines)
    if(line MATCHES "^Checks:")
        set(in_checks ON)
    elseif(in_checks AND line MATCHES "^ +([^ ,]+),?$")
        set(name ${CMAKE_MATCH_1})
        if(name MATCHES "^-")
            # An exclusion: it enables nothing.
        elseif(name MATCHES "\\*")
            list(APPEND problems "a glob among the checks: ${name}")
        else()
            list(APPEND named ${name})
        endif()
    else()
        set(in_checks OFF)
    endif()
endforeach()
if(named STREQUAL "")
    message(FATAL_ERROR "no check named under Checks: in ${CONFIG}")
endif()

execute_process(COMMAND ${CLANG_TIDY} --version OUTPUT_VARIABLE version)
string(REGEX MATCH "version [0-9.]+" version "${version}")
execute_process(COMMAND ${CLANG_TIDY} --config-file=${CONFIG} --list-checks
    OUTPUT_VARIABLE output RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${CLANG_TIDY} --list-checks failed (${result}):\n${output}")
endif()
# "Enabled checks:", then one indented name a line.
string(REGEX MATCHALL "\n +[^ \n]+" enabled "${output}")
list(TRANSFORM enabled STRIP)

# The one check that LLVM renamed is named by both names; one of them runs.
set(renamed clang-analyzer-apiModeling.StdCLibraryFunctions
    clang-analyzer-unix.StdCLibraryFunctions)
foreach(name IN LISTS named)
    if(NOT name IN_LIST enabled AND NOT name IN_LIST renamed)
        list(APPEND problems "named, but clang-tidy ${version} has no such check: ${name}")
    endif()
endforeach()
set(runs_renamed OFF)
foreach(name IN LISTS renamed)
    if(name IN_LIST enabled)
        set(runs_renamed ON)
    endif()
endforeach()
if(NOT runs_renamed)
    list(APPEND problems "clang-tidy ${version} has neither name of: ${renamed}")
endif()
# Whenever it runs an analyzer check, clang-tidy runs the analyzer's whole
# core package with it, named or not; clang-tidy 19 has two core checkers
# that 14 lacks (core.BitwiseShift, core.uninitialized.NewArraySize).
foreach(name IN LISTS enabled)
    if(NOT name IN_LIST named AND NOT name MATCHES "^clang-analyzer-core\\.")
        list(APPEND problems "enabled by clang-tidy ${version}, but not named: ${name}")
    endif()
endforeach()
if(problems)
    list(JOIN problems "\n" problems)
    message(FATAL_ERROR "${CONFIG}:\n${problems}")
endif()
set(core 0)
foreach(name IN LISTS enabled)
    if(NOT name IN_LIST named)
        math(EXPR core "${core} + 1")
    endif()
endforeach()
list(LENGTH enabled total)
message(STATUS "clang-tidy ${version} runs ${total} checks: ${core} of them of the analyzer's"
    " core, unnamed, and the rest named")
