/*
 * Console start-up of the Windows builds, in place of MinGW's crt2.o.
 *
 * Windows enters an executable at its entry point with no arguments and
 * no C runtime set up. MinGW's own start-up objects are compiled for the
 * Pentium Pro (they execute CMOV) and import MSVCRT.DLL, which Windows 95
 * does not have; so the executable is linked with -nostartfiles and this
 * file does the little the tool needs:
 *
 * 1. build argc/argv with the C runtime's own builder, wildcard expansion
 *    off, so "*" and "?" reach main exactly as typed;
 * 2. call main once;
 * 3. hand its result to the runtime's exit, which flushes stdout and ends
 *    the process with that exit status.
 *
 * The runtime DLL has already initialised itself (heap, stdio) when it was
 * loaded, before the entry point runs.
 */
#include <stdlib.h>

int main(int argc, char **argv);

#ifdef _WIN64
/* MSVCRT.DLL (x86_64, run under wine64): the builder takes a fifth
 * argument, the allocation failure mode for malloc (0: return NULL). */
typedef struct {
    int new_mode;
} startup_info;
int __getmainargs(int *argc, char ***argv, char ***envp, int expand_wildcards,
                  startup_info *info);
#else
/* CRTDLL.DLL (i686), the C runtime that Windows 95 ships. */
void __GetMainArgs(int *argc, char ***argv, char ***envp, int expand_wildcards);
#endif

/* On MinGW targets GCC calls __main at the top of main to run static
 * constructors. The tool has none, and libgcc's version would import
 * atexit for destructors it does not have either. */
void __main(void)
{
}

/* The linker's default entry point for a console program. */
void mainCRTStartup(void)
{
    int argc;
    char **argv;
    char **envp;
#ifdef _WIN64
    startup_info info = {0};
    __getmainargs(&argc, &argv, &envp, 0, &info);
#else
    __GetMainArgs(&argc, &argv, &envp, 0);
#endif
    exit(main(argc, argv));
}
