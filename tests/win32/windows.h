// Stand-in for <windows.h> in the Linux unit-test build: the Win32 types at
// their real sizes and the declarations and constants the tool uses. The
// functions are implemented by standin.cpp, which records every call.
#ifndef QUELT_STANDIN_WINDOWS_H
#define QUELT_STANDIN_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

#define WINAPI

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned char BYTE;
typedef char CHAR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef DWORD REGSAM;
typedef void *HANDLE;
typedef void *LPVOID;
typedef DWORD *LPDWORD;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef const BYTE *LPCBYTE;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HMODULE;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;
typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define NO_ERROR 0L
#define ERROR_SUCCESS 0L
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)(-1))
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define KEY_SET_VALUE 0x0002
#define REG_SZ 1

// kernel32
int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);
LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength);
LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2);
int WINAPI lstrlenA(LPCSTR lpString);
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL WINAPI CloseHandle(HANDLE hObject);
UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                      LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName);
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

// advapi32
LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult);
LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE *lpData, DWORD cbData);
LONG WINAPI RegCloseKey(HKEY hKey);

// user32
int wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);

#endif
