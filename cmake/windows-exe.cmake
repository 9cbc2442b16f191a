# queltmap95.exe for Windows 95 (i686, the product) and for x86_64 (the same
# source and start-up, run under wine64 by the integration tests).
#
# Nothing of MinGW's own run-time is linked: its start-up objects execute
# CMOV and import MSVCRT.DLL, neither of which Windows 95 has. The start-up
# is ours (runtime/), the C runtime is the DLL Windows 95 ships (CRTDLL.DLL;
# MSVCRT.DLL on x86_64, where wine64 has no CRTDLL), and libgcc is there only
# for helpers the compiler may call. The version resource is compiled with
# MinGW's windres.
enable_language(C RC)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(QUELT_CRT crtdll)
    # Windows 95 itself runs on a 386.
    set(QUELT_ARCH_FLAGS -march=i386)
else()
    set(QUELT_CRT msvcrt)
    set(QUELT_ARCH_FLAGS)
endif()

# CMake would add its default list of Windows libraries to every link.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

set(QUELT_STARTUP ${CMAKE_CURRENT_LIST_DIR}/../runtime/console_startup.c)

# quelt_windows_exe(<target> <source>...): a console executable on our
# start-up with the flags and libraries of the product. The empty program
# and the gate's test executables are made with it too.
function(quelt_windows_exe target)
    add_executable(${target} ${ARGN} ${QUELT_STARTUP})
    # The compilers' options; windres, for the version resource, takes none.
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:${TOOL_WARNINGS}
        ${QUELT_ARCH_FLAGS} -Os -fno-asynchronous-unwind-tables -fno-ident>
        # The tool uses no C++ library header. Without libstdc++'s headers,
        # whose os_defines.h forces __USE_MINGW_ANSI_STDIO to 1, the
        # definition below holds and printf is the runtime DLL's own
        # rather than MinGW's static replacement.
        $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -nostdinc++>)
    target_compile_definitions(${target} PRIVATE __USE_MINGW_ANSI_STDIO=0)
    target_link_options(${target} PRIVATE -nostartfiles -nodefaultlibs -s
        # The PE header as Windows 95 wants it, and the same bytes on every
        # build: no time stamp, no relocations, no ASLR/DEP flags (which
        # Windows 95 ignores and which would only grow the file).
        -Wl,--subsystem,console:4.0
        -Wl,--major-os-version,4 -Wl,--minor-os-version,0
        -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
        -Wl,--disable-dynamicbase -Wl,--disable-nxcompat
        -Wl,--disable-reloc-section -Wl,--no-insert-timestamp
        $<$<STREQUAL:${CMAKE_SYSTEM_PROCESSOR},x86_64>:-Wl,--disable-high-entropy-va>)
    target_link_libraries(${target} PRIVATE mpr advapi32 user32 kernel32 gcc ${QUELT_CRT})
endfunction()

# Only the tool carries a version resource, from the project's version. It
# costs 1536 bytes of file: 1024 for its section .rsrc, and 512 more for the
# headers, whose fourth section entry no longer fits in the first 512.
configure_file(${CMAKE_CURRENT_LIST_DIR}/../packaging/version.rc.in
    ${CMAKE_BINARY_DIR}/version.rc @ONLY)
quelt_windows_exe(queltmap95 ${TOOL_SOURCE} ${CMAKE_BINARY_DIR}/version.rc)

# Built on demand, by tools/bench.sh and the gate's tests.
quelt_windows_exe(quelt_empty ${CMAKE_CURRENT_LIST_DIR}/../runtime/empty.c)
quelt_windows_exe(quelt_dll_floor ${CMAKE_CURRENT_LIST_DIR}/../tools/bench/dll_floor.c)
set_target_properties(quelt_empty quelt_dll_floor PROPERTIES EXCLUDE_FROM_ALL ON)

# For the gate, the release ZIP and the Wine tests. Debian's python3, which
# scripts/bootstrap.sh installs, before whatever comes first in PATH: a
# version manager's shim there costs a second a run.
find_program(PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(PYTHON3 python3 REQUIRED)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    include(${CMAKE_CURRENT_LIST_DIR}/../packaging/release.cmake)
    add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/../tools/gate ${CMAKE_BINARY_DIR}/gate)
endif()
