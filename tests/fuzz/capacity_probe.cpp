// Hands one stand-in function a 16-byte buffer with a claimed capacity of
// 17 and an answer that fits, so only the stand-in's capacity check can
// touch the 17th byte: AddressSanitizer must report a stack-buffer-overflow.
// With "exact" every function gets the true capacity and nothing is reported.
#include "standin.h"

#include <stdio.h>
#include <string.h>

namespace {

void call(const char *function, char *buffer, DWORD capacity)
{
    DWORD returned = 0;
    bool all = strcmp(function, "exact") == 0;
    if (all || strcmp(function, "GetPrivateProfileStringA") == 0)
        GetPrivateProfileStringA("Drive.A", "Local", "", buffer, capacity, "C:\\x.ini");
    if (all || strcmp(function, "GetWindowsDirectoryA") == 0)
        GetWindowsDirectoryA(buffer, capacity);
    if (all || strcmp(function, "GetModuleFileNameA") == 0)
        GetModuleFileNameA(NULL, buffer, capacity);
    if (all || strcmp(function, "lstrcpynA") == 0)
        lstrcpynA(buffer, "R:", static_cast<int>(capacity));
    if (all || strcmp(function, "DeviceIoControl") == 0)
        DeviceIoControl(standin::DEVICE_HANDLE, 0, NULL, 0, buffer, capacity, &returned, NULL);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s FUNCTION|exact\n", argv[0]);
        return 2;
    }
    standin::reset();
    standin::script().windows_directory = "C:\\W";
    standin::script().module_path = "C:\\M.EXE";
    char buffer[16];
    call(argv[1], buffer, strcmp(argv[1], "exact") == 0 ? sizeof buffer : sizeof buffer + 1);
    printf("no overflow reported\n");
    return 0;
}
