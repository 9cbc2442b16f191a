# Builds queltmap95.exe twice from nothing, in two folders of different
# names under OUT (first/, second-build/), for the gate to compare with the
# product: a build that depended on its folder, the time or leftovers of an
# earlier build would not give the same bytes.
#   cmake -DSOURCE=... -DOUT=... -DGENERATOR=... -DTOOLCHAIN=... -DBUILD_TYPE=... -P clean_builds.cmake
foreach(folder first second-build)
    file(REMOVE_RECURSE ${OUT}/${folder})
    execute_process(
        COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${OUT}/${folder} -G ${GENERATOR}
            -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${OUT}/${folder} --target queltmap95
        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
endforeach()
