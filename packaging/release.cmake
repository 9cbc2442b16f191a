# The Windows 95 release, made by every build of the i686 preset:
#   release/queltmap95/queltmap95.exe and README.TXT (CRLF line ends)
#   release/queltmap95-<version>.zip, the same two files in a folder
#   queltmap95
# The ZIP is the same bytes on every build, like the exe.
set(RELEASE_DIR ${CMAKE_BINARY_DIR}/release)
set(RELEASE_FOLDER ${RELEASE_DIR}/queltmap95)
set(RELEASE_ZIP ${RELEASE_DIR}/queltmap95-${PROJECT_VERSION}.zip)
configure_file(${CMAKE_CURRENT_LIST_DIR}/README.TXT ${RELEASE_FOLDER}/README.TXT
    @ONLY NEWLINE_STYLE CRLF)
add_custom_command(OUTPUT ${RELEASE_ZIP}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:queltmap95> ${RELEASE_FOLDER}/queltmap95.exe
    COMMAND ${PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/make_zip.py ${RELEASE_ZIP}
        ${RELEASE_FOLDER} queltmap95.exe README.TXT
    DEPENDS queltmap95 ${RELEASE_FOLDER}/README.TXT ${CMAKE_CURRENT_LIST_DIR}/make_zip.py
    COMMENT "Release folder and ZIP in ${RELEASE_DIR}")
add_custom_target(release ALL DEPENDS ${RELEASE_ZIP})
