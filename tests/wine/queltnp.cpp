// Test fixture: the network provider that Wine's router loads under the
// name "QueltNFS95". It keeps its connections in a file that the driver
// fixture reads, logs every call with every argument and its answer, and
// takes its answers from an optional settings file:
//
//   [Provider]
//   AcceptPrefix=\\QueltNFS\        remote names accepted (start, any case;
//                                   empty accepts every name)
//   RejectCode=67                   answer for any other remote name
//   AlreadyConnectedCode=85         answer when the local name is in use
//   NotConnectedCode=2250           answer to cancelling an unknown name
//
// The values above are the defaults, used when the file or a key is absent.
// The router hands over wide strings (it converts the tool's ANSI ones).
//
// The router loads the provider into the tool's own process, so the
// provider also logs, once per process, what that process is told: the
// Windows version and the version resource of its executable.
#define UNICODE
#define _UNICODE
#include <windows.h>
#include <winnetwk.h>
// MinGW's npapi.h declares the provider functions without C linkage.
extern "C" {
#include <npapi.h>
}

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "fixture_files.h"

namespace {

const size_t LINE_CAPACITY = 8192;
const size_t TABLE_CAPACITY = 65536;

void fixture_path(wchar_t *out, size_t capacity, const wchar_t *name)
{
    _snwprintf(out, capacity, L"%ls\\%ls", FIXTURE_DIR, name);
    out[capacity - 1] = L'\0';
}

// A line of log text, built up piece by piece; too long a line is cut.
struct Line {
    char text[LINE_CAPACITY];
    size_t length;

    Line() : length(0) { text[0] = '\0'; }

    void add(const char *s)
    {
        while (*s && length + 1 < LINE_CAPACITY)
            text[length++] = *s++;
        text[length] = '\0';
    }

    void number(unsigned long long n)
    {
        char digits[32];
        snprintf(digits, sizeof digits, "%llu", n);
        add(digits);
    }

    void pointer(const void *p)
    {
        if (p == NULL) {
            add("NULL");
            return;
        }
        char digits[32];
        snprintf(digits, sizeof digits, "0x%llx", (unsigned long long)(ULONG_PTR)p);
        add(digits);
    }

    // Quoted; printable ASCII as it is, every other character as \uXXXX.
    void string(const wchar_t *s)
    {
        if (s == NULL) {
            add("NULL");
            return;
        }
        add("\"");
        for (; *s; ++s) {
            if (*s >= 0x20 && *s < 0x7f) {
                char c[2] = {static_cast<char>(*s), '\0'};
                add(c);
            } else {
                char escape[8];
                snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(*s));
                add(escape);
            }
        }
        add("\"");
    }
};

void append_log(Line &line, const wchar_t *name = PROVIDER_LOG_FILE)
{
    wchar_t path[MAX_PATH];
    fixture_path(path, MAX_PATH, name);
    line.add("\n");
    CreateDirectoryW(FIXTURE_DIR, NULL);
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line.text, static_cast<DWORD>(line.length), &written, NULL);
    CloseHandle(file);
}

DWORD setting(const wchar_t *key, DWORD fallback)
{
    wchar_t path[MAX_PATH];
    fixture_path(path, MAX_PATH, PROVIDER_SETTINGS_FILE);
    wchar_t text[32];
    if (GetPrivateProfileStringW(L"Provider", key, L"", text, 32, path) == 0)
        return fallback;
    unsigned long long value = 0;
    for (const wchar_t *p = text; *p >= L'0' && *p <= L'9'; ++p)
        value = value * 10 + static_cast<unsigned>(*p - L'0');
    return static_cast<DWORD>(value);
}

// The connection table: the file's bytes, "local\tremote\n" per entry.
struct Table {
    char bytes[TABLE_CAPACITY];
    DWORD length;
};

void table_path(wchar_t *path) { fixture_path(path, MAX_PATH, CONNECTIONS_FILE); }

void load(Table &table)
{
    wchar_t path[MAX_PATH];
    table_path(path);
    table.length = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    if (!ReadFile(file, table.bytes, TABLE_CAPACITY - 1, &table.length, NULL))
        table.length = 0;
    CloseHandle(file);
}

void save(const Table &table)
{
    wchar_t path[MAX_PATH];
    table_path(path);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, table.bytes, table.length, &written, NULL);
    CloseHandle(file);
}

void to_ansi(const wchar_t *in, char *out, int capacity)
{
    out[0] = '\0';
    if (in != NULL && WideCharToMultiByte(CP_ACP, 0, in, -1, out, capacity, NULL, NULL) == 0)
        out[capacity - 1] = '\0';
}

bool same_text(const char *a, size_t a_length, const char *b)
{
    return strlen(b) == a_length && _strnicmp(a, b, a_length) == 0;
}

// Finds the entry whose local name, or remote name when `by_remote`, is
// `name` (any case); gives the entry's span including its line feed.
bool find(const Table &table, const char *name, bool by_remote, DWORD *start, DWORD *end)
{
    DWORD at = 0;
    while (at < table.length) {
        DWORD line_end = at;
        while (line_end < table.length && table.bytes[line_end] != '\n')
            ++line_end;
        DWORD tab = at;
        while (tab < line_end && table.bytes[tab] != '\t')
            ++tab;
        bool hit = by_remote ? same_text(table.bytes + tab + 1,
                                         line_end > tab ? line_end - tab - 1 : 0, name)
                             : same_text(table.bytes + at, tab - at, name);
        if (hit && tab < line_end) {
            *start = at;
            *end = line_end < table.length ? line_end + 1 : line_end;
            return true;
        }
        at = line_end + 1;
    }
    return false;
}

DWORD add_connection(const NETRESOURCEW *resource)
{
    wchar_t accept[MAX_PATH];
    wchar_t settings[MAX_PATH];
    fixture_path(settings, MAX_PATH, PROVIDER_SETTINGS_FILE);
    GetPrivateProfileStringW(L"Provider", L"AcceptPrefix", L"\\\\QueltNFS\\", accept, MAX_PATH,
                             settings);
    const wchar_t *remote = resource->lpRemoteName ? resource->lpRemoteName : L"";
    size_t prefix = wcslen(accept);
    if (prefix != 0 && _wcsnicmp(remote, accept, prefix) != 0)
        return setting(L"RejectCode", WN_BAD_NETNAME);

    static char local_text[1024];
    static char remote_text[4096];
    to_ansi(resource->lpLocalName, local_text, sizeof local_text);
    to_ansi(remote, remote_text, sizeof remote_text);

    static Table table;
    load(table);
    DWORD start, end;
    if (local_text[0] != '\0' && find(table, local_text, false, &start, &end))
        return setting(L"AlreadyConnectedCode", WN_ALREADY_CONNECTED);
    size_t need = strlen(local_text) + strlen(remote_text) + 2;
    if (table.length + need >= TABLE_CAPACITY)
        return WN_OUT_OF_MEMORY;
    table.length += static_cast<DWORD>(snprintf(table.bytes + table.length,
                                                TABLE_CAPACITY - table.length, "%s\t%s\n",
                                                local_text, remote_text));
    CreateDirectoryW(FIXTURE_DIR, NULL);
    save(table);
    return WN_SUCCESS;
}

DWORD cancel_connection(const wchar_t *name)
{
    static char name_text[4096];
    to_ansi(name, name_text, sizeof name_text);
    static Table table;
    load(table);
    DWORD start, end;
    if (name_text[0] == '\0' || (!find(table, name_text, false, &start, &end) &&
                                 !find(table, name_text, true, &start, &end)))
        return setting(L"NotConnectedCode", WN_NOT_CONNECTED);
    memmove(table.bytes + start, table.bytes + end, table.length - end);
    table.length -= end - start;
    save(table);
    return WN_SUCCESS;
}

// "windows 4.0.950 platform 1 file 1.0.0.0 "1.0.0"": the version as
// GetVersionExA gives it (the build in the low word, as Windows 95 has it),
// then the executable's fixed file version and FileVersion string, or
// "file none".
void log_host()
{
    OSVERSIONINFOA os;
    os.dwOSVersionInfoSize = sizeof os;
    GetVersionExA(&os);
    Line line;
    line.add("windows ");
    line.number(os.dwMajorVersion);
    line.add(".");
    line.number(os.dwMinorVersion);
    line.add(".");
    line.number(os.dwBuildNumber & 0xFFFF);
    line.add(" platform ");
    line.number(os.dwPlatformId);

    static char exe[MAX_PATH];
    static unsigned char info[16384];
    DWORD unused;
    GetModuleFileNameA(NULL, exe, MAX_PATH);
    DWORD size = GetFileVersionInfoSizeA(exe, &unused);
    VS_FIXEDFILEINFO *fixed;
    char *text;
    UINT length;
    if (size == 0 || size > sizeof info || !GetFileVersionInfoA(exe, 0, size, info) ||
        !VerQueryValueA(info, "\\", reinterpret_cast<void **>(&fixed), &length)) {
        line.add(" file none");
    } else {
        const DWORD parts[] = {fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xFFFF,
                               fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF};
        for (int i = 0; i < 4; ++i) {
            line.add(i == 0 ? " file " : ".");
            line.number(parts[i]);
        }
        if (VerQueryValueA(info, "\\StringFileInfo\\040904E4\\FileVersion",
                           reinterpret_cast<void **>(&text), &length)) {
            line.add(" \"");
            line.add(text);
            line.add("\"");
        }
    }
    append_log(line, HOST_LOG_FILE);
}

} // namespace

extern "C" {

__declspec(dllexport) DWORD WINAPI NPGetCaps(DWORD index)
{
    switch (index) {
    case WNNC_SPEC_VERSION:
        // The router's first question when it loads the provider.
        log_host();
        return WNNC_SPEC_VERSION51;
    case WNNC_CONNECTION:
        return WNNC_CON_ADDCONNECTION3 | WNNC_CON_CANCELCONNECTION;
    default:
        return 0;
    }
}

__declspec(dllexport) DWORD WINAPI NPAddConnection3(HWND owner, LPNETRESOURCEW resource,
                                                    LPWSTR password, LPWSTR user, DWORD flags)
{
    DWORD result = resource == NULL ? WN_BAD_VALUE : add_connection(resource);
    Line line;
    line.add("NPAddConnection3(");
    line.pointer(owner);
    if (resource == NULL) {
        line.add(", NULL");
    } else {
        line.add(", {");
        line.number(resource->dwScope);
        line.add(", ");
        line.number(resource->dwType);
        line.add(", ");
        line.number(resource->dwDisplayType);
        line.add(", ");
        line.number(resource->dwUsage);
        line.add(", ");
        line.string(resource->lpLocalName);
        line.add(", ");
        line.string(resource->lpRemoteName);
        line.add(", ");
        line.string(resource->lpComment);
        line.add(", ");
        line.string(resource->lpProvider);
        line.add("}");
    }
    line.add(", ");
    line.string(password);
    line.add(", ");
    line.string(user);
    line.add(", ");
    line.number(flags);
    line.add(") -> ");
    line.number(result);
    append_log(line);
    return result;
}

__declspec(dllexport) DWORD WINAPI NPCancelConnection(LPWSTR name, BOOL force)
{
    DWORD result = cancel_connection(name);
    Line line;
    line.add("NPCancelConnection(");
    line.string(name);
    line.add(", ");
    line.number(static_cast<unsigned>(force));
    line.add(") -> ");
    line.number(result);
    append_log(line);
    return result;
}

} // extern "C"
