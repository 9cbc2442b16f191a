# Fails when a C++ file under src/ or tests/ differs from its clang-format
# layout; clang-format names each place.
file(GLOB_RECURSE sources LIST_DIRECTORIES false
    ${ROOT}/src/*.cpp ${ROOT}/src/*.h ${ROOT}/tests/*.cpp ${ROOT}/tests/*.h)
list(LENGTH sources count)
if(count EQUAL 0)
    message(FATAL_ERROR "no C++ files found under ${ROOT}")
endif()
execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror --style=file ${sources}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "clang-format: files above differ from ${ROOT}/.clang-format; "
        "clang-format -i rewrites them")
endif()
message(STATUS "clang-format: ${count} files as laid out")
