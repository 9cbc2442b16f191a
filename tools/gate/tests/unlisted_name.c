/* Imports a KERNEL32 function that Windows 95 does not have. */
#include <windows.h>

int main(void)
{
    return (int)GetTickCount64();
}
