# queltmap95.exe: a console program that needs nothing of the C++ library.
# -nostdinc++ keeps libstdc++'s headers out, so __USE_MINGW_ANSI_STDIO=0
# holds and printf is the C runtime's own, not MinGW's replacement.
add_executable(queltmap95 ${TOOL_SOURCE})
target_compile_options(queltmap95 PRIVATE ${TOOL_WARNINGS}
    -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -nostdinc++)
target_compile_definitions(queltmap95 PRIVATE __USE_MINGW_ANSI_STDIO=0)
target_link_options(queltmap95 PRIVATE -static-libgcc -s
    -Wl,--subsystem,console:4.0 -Wl,--major-os-version,4 -Wl,--minor-os-version,0)
target_link_libraries(queltmap95 PRIVATE mpr advapi32 user32 kernel32)
