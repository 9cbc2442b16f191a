/* Calls a USER32 function through a delay-load import (see delay_load.def).
 * GNU ld writes no delay-load directory for it; what gives it away is the
 * helper, which loads the DLL itself on the first call. */
#include <windows.h>

int quelt_delayed(void);

FARPROC WINAPI __delayLoadHelper2(const void *descriptor, FARPROC *slot)
{
    (void)descriptor;
    *slot = GetProcAddress(LoadLibraryA("USER32.dll"), "quelt_delayed");
    return *slot;
}

int main(void)
{
    return quelt_delayed();
}
