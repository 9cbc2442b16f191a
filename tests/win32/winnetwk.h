// Stand-in for <winnetwk.h>: the router calls the tool makes.
#ifndef QUELT_STANDIN_WINNETWK_H
#define QUELT_STANDIN_WINNETWK_H

#include <windows.h>

#define RESOURCETYPE_DISK 0x00000001
#define CONNECT_UPDATE_PROFILE 0x00000001

// Field order as on the platform.
typedef struct _NETRESOURCEA {
    DWORD dwScope;
    DWORD dwType;
    DWORD dwDisplayType;
    DWORD dwUsage;
    LPSTR lpLocalName;
    LPSTR lpRemoteName;
    LPSTR lpComment;
    LPSTR lpProvider;
} NETRESOURCEA, *LPNETRESOURCEA;

DWORD WINAPI WNetAddConnection3A(HWND hwndOwner, LPNETRESOURCEA lpNetResource, LPCSTR lpPassword,
                                 LPCSTR lpUserName, DWORD dwFlags);
DWORD WINAPI WNetCancelConnection2A(LPCSTR lpName, DWORD dwFlags, BOOL fForce);

#endif
