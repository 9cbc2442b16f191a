/* A program that loads the same DLLs as the tool and does nothing: one
 * import from each, never called. Against it the benchmark tells what the
 * tool's own code costs from what loading its DLLs costs. */
#include <windows.h>
#include <winnetwk.h>

int main(int argc, char **argv)
{
    (void)argv;
    if (argc < 0) {
        char text[16];
        RegCloseKey(NULL);
        WNetCancelConnection2A("", 0, FALSE);
        wsprintfA(text, "%d", argc);
        return lstrlenA(text);
    }
    return 0;
}
