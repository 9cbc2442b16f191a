// The Win32 stand-in: every function the tool calls, recording its
// arguments and answering from the current script with the platform's own
// rules for buffers, terminators and defaults.
#include "standin.h"

#include <winnetwk.h>

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

namespace standin {

const unsigned char SOFT_HYPHEN = 0xAD;

const HANDLE DEVICE_HANDLE = reinterpret_cast<HANDLE>(0x5eed);
const HKEY OPENED_KEY = reinterpret_cast<HKEY>(0x4b01);
const HKEY CREATED_KEY = reinterpret_cast<HKEY>(0x4b02);

namespace {

struct State {
    Script script;
    std::vector<Call> calls;
    std::vector<const void *> open; // handles given out and not yet closed
    int stray_closes = 0;
};

State &state()
{
    static State instance;
    return instance;
}

std::string quote(const char *s)
{
    if (s == NULL)
        return "NULL";
    std::string text = "\"";
    text.reserve(strlen(s) + 2);
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
        if (*p >= 0x20 && *p < 0x7f) {
            text += static_cast<char>(*p);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", *p);
            text += hex;
        }
    }
    return text + "\"";
}

std::string number(long long n) { return std::to_string(n); }

std::string pointer(const void *p)
{
    if (p == NULL)
        return "NULL";
    char hex[32];
    snprintf(hex, sizeof hex, "0x%llx",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return hex;
}

std::string buffer(const void *p) { return p == NULL ? "NULL" : "out"; }

std::string key_name(HKEY key)
{
    return key == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : pointer(key);
}

Call &record(const char *name, const std::string &args)
{
    Call call;
    call.name = name;
    call.text = std::string(name) + "(" + args + ")";
    state().calls.push_back(std::move(call));
    return state().calls.back();
}

// Writes each byte of a claimed buffer with its own value: harmless where
// the buffer is as large as claimed, an overflow that AddressSanitizer
// reports where it is smaller.
void touch(void *out, size_t size)
{
    volatile unsigned char *bytes = static_cast<volatile unsigned char *>(out);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = bytes[i];
}

// For a buffer whose contents the platform leaves undefined beyond what it
// returns: every claimed byte becomes UNWRITTEN first.
void scribble(void *out, size_t size)
{
    if (out != NULL)
        memset(out, UNWRITTEN, size);
}

void opened(const void *handle) { state().open.push_back(handle); }

void closed(const void *handle)
{
    std::vector<const void *> &open = state().open;
    std::vector<const void *>::iterator it = std::find(open.begin(), open.end(), handle);
    if (it == open.end()) {
        ++state().stray_closes;
        return;
    }
    open.erase(it);
}

// Copies `value` into a buffer of `capacity` characters the way the
// profile reader does: cut to capacity - 1 and always terminated.
DWORD copy_cut(char *out, DWORD capacity, const std::string &value)
{
    if (capacity == 0)
        return 0;
    size_t n = value.size() < capacity - 1 ? value.size() : capacity - 1;
    memcpy(out, value.data(), n);
    out[n] = '\0';
    return static_cast<DWORD>(n);
}

template <typename T> T next_or(std::deque<T> &queue, T fallback)
{
    if (queue.empty())
        return fallback;
    T front = queue.front();
    queue.pop_front();
    return front;
}

} // namespace

void reset() { state() = State(); }

Script &script() { return state().script; }

const std::vector<Call> &calls() { return state().calls; }

std::vector<std::string> texts(bool with_compares)
{
    std::vector<std::string> result;
    for (const Call &call : state().calls)
        if (with_compares || call.name != "lstrcmpiA")
            result.push_back(call.text);
    return result;
}

int open_handles() { return static_cast<int>(state().open.size()); }

int stray_closes() { return state().stray_closes; }

namespace {

// Swaps a standard stream for a memory stream for the length of a run.
struct Capture {
    FILE *saved;
    FILE *memory;
    char *bytes = NULL;
    size_t length = 0;
};

void begin_capture(Capture &capture, FILE *&stream)
{
    fflush(stream);
    capture.saved = stream;
    capture.memory = open_memstream(&capture.bytes, &capture.length);
    stream = capture.memory;
}

std::string end_capture(Capture &capture, FILE *&stream)
{
    fclose(capture.memory);
    stream = capture.saved;
    std::string text(capture.bytes, capture.length);
    free(capture.bytes);
    return text;
}

} // namespace

Run run(const std::vector<std::string> &args)
{
    Run result;
    std::vector<std::string> all = {"queltmap95.exe"};
    all.insert(all.end(), args.begin(), args.end());
    for (const std::string &arg : all) {
        std::unique_ptr<char[]> copy(new char[arg.size() + 1]);
        memcpy(copy.get(), arg.c_str(), arg.size() + 1);
        result.argv.push_back(copy.get());
        result.storage.push_back(std::move(copy));
    }
    result.argv.push_back(NULL);

    Capture out, err;
    begin_capture(out, stdout);
    begin_capture(err, stderr);
    result.result = tool_main(static_cast<int>(all.size()), result.argv.data());
    result.err = end_capture(err, stderr);
    result.out = end_capture(out, stdout);
    return result;
}

} // namespace standin

using namespace standin;

// As on the platform (Wine shows it): letters compare without regard to
// case, and the soft hyphen (0xAD in code page 1252) has no weight at all.
// Only ASCII letters fold here; the user's locale may fold more.
int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b)
{
    record("lstrcmpiA", quote(a) + ", " + quote(b)).strings = {a, b};
    const unsigned char *x = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *y = reinterpret_cast<const unsigned char *>(b);
    for (;; ++x, ++y) {
        while (*x == SOFT_HYPHEN)
            ++x;
        while (*y == SOFT_HYPHEN)
            ++y;
        int cx = tolower(*x), cy = tolower(*y);
        if (cx != cy || cx == 0)
            return cx - cy;
    }
}

LPSTR WINAPI lstrcpynA(LPSTR out, LPCSTR in, int max_length)
{
    record("lstrcpynA", buffer(out) + ", " + quote(in) + ", " + number(max_length)).strings = {in};
    // No scribbling: the platform writes nothing after the terminator, and
    // the tool relies on that for the zero-filled driver request.
    if (max_length > 0) {
        touch(out, static_cast<size_t>(max_length));
        copy_cut(out, static_cast<DWORD>(max_length), in);
    }
    return out;
}

LPSTR WINAPI lstrcatA(LPSTR out, LPCSTR in)
{
    record("lstrcatA", quote(out) + ", " + quote(in)).strings = {out, in};
    return strcat(out, in);
}

int WINAPI lstrlenA(LPCSTR s)
{
    record("lstrlenA", quote(s)).strings = {s};
    return s == NULL ? 0 : static_cast<int>(strlen(s));
}

// The tool's formats are printf's; saying so lets the compiler check the
// pass-through below.
int wsprintfA(LPSTR out, LPCSTR format, ...) __attribute__((format(printf, 2, 3)));

int wsprintfA(LPSTR out, LPCSTR format, ...)
{
    // The platform writes at most 1024 characters and the terminator.
    char text[1025];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    record("wsprintfA", buffer(out) + ", " + quote(format) + " -> " + quote(text)).strings = {
        format};
    strcpy(out, text);
    return n < 1024 ? n : 1024;
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE template_file)
{
    record("CreateFileA", quote(name) + ", " + number(access) + ", " + number(share) + ", " +
                              pointer(security) + ", " + number(disposition) + ", " +
                              number(flags) + ", " + pointer(template_file))
        .strings = {name};
    if (!script().device_present)
        return INVALID_HANDLE_VALUE;
    opened(DEVICE_HANDLE);
    return DEVICE_HANDLE;
}

BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                            DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped)
{
    std::string counter = returned == NULL ? "NULL" : "&" + number(*returned);
    Call &call = record("DeviceIoControl", pointer(device) + ", " + number(code) + ", " +
                                               (in ? "in" : "NULL") + ", " + number(in_size) +
                                               ", " + buffer(out) + ", " + number(out_size) + ", " +
                                               counter + ", " + pointer(overlapped));
    if (in != NULL)
        call.data.assign(static_cast<const char *>(in), in_size);
    DeviceAnswer answer = next_or(script().device_answers, DeviceAnswer{TRUE, "", 0});
    size_t n = answer.reply.size() < out_size ? answer.reply.size() : out_size;
    // The driver writes only what it answers; the rest stays as the tool
    // left it.
    if (out != NULL) {
        touch(out, out_size);
        memcpy(out, answer.reply.data(), n);
    }
    if (returned != NULL)
        *returned = answer.bytes_returned;
    return answer.result;
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    record("CloseHandle", pointer(handle));
    closed(handle);
    return TRUE;
}

UINT WINAPI GetWindowsDirectoryA(LPSTR out, UINT size)
{
    record("GetWindowsDirectoryA", buffer(out) + ", " + number(size));
    scribble(out, size);
    const std::string &dir = script().windows_directory;
    if (dir.empty())
        return 0;
    // Too small: nothing written, the result is the size needed.
    if (dir.size() + 1 > size)
        return static_cast<UINT>(dir.size() + 1);
    memcpy(out, dir.c_str(), dir.size() + 1);
    return static_cast<UINT>(dir.size());
}

DWORD WINAPI GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR fallback, LPSTR out,
                                      DWORD size, LPCSTR file)
{
    record("GetPrivateProfileStringA", quote(section) + ", " + quote(key) + ", " + quote(fallback) +
                                           ", " + buffer(out) + ", " + number(size) + ", " +
                                           quote(file))
        .strings = {section, key, fallback, file};
    scribble(out, size);
    if (strcasecmp(file, script().profile_path.c_str()) == 0)
        for (const ProfileValue &value : script().profile)
            if (strcasecmp(value.section.c_str(), section) == 0 &&
                strcasecmp(value.key.c_str(), key) == 0)
                return copy_cut(out, size, value.value);
    return copy_cut(out, size, fallback);
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR out, DWORD size)
{
    record("GetModuleFileNameA", pointer(module) + ", " + buffer(out) + ", " + number(size));
    scribble(out, size);
    const std::string &path = script().module_path;
    if (path.empty())
        return 0;
    // Too small: the buffer is filled with the start of the path, ended by
    // a terminator in its last character or (Windows XP) not at all.
    if (path.size() >= size) {
        memcpy(out, path.data(), size);
        if (script().module_path_cut_terminated && size > 0)
            out[size - 1] = '\0';
        return size;
    }
    memcpy(out, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

LONG WINAPI RegOpenKeyExA(HKEY root, LPCSTR subkey, DWORD options, REGSAM access, PHKEY result)
{
    record("RegOpenKeyExA", key_name(root) + ", " + quote(subkey) + ", " + number(options) + ", " +
                                number(access) + ", " + buffer(result))
        .strings = {subkey};
    if (script().open_result != ERROR_SUCCESS)
        return script().open_result;
    *result = OPENED_KEY;
    opened(OPENED_KEY);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyA(HKEY root, LPCSTR subkey, PHKEY result)
{
    record("RegCreateKeyA", key_name(root) + ", " + quote(subkey) + ", " + buffer(result))
        .strings = {subkey};
    if (script().create_result != ERROR_SUCCESS)
        return script().create_result;
    *result = CREATED_KEY;
    opened(CREATED_KEY);
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                           DWORD size)
{
    Call &call = record("RegSetValueExA", key_name(key) + ", " + quote(name) + ", " +
                                              number(reserved) + ", " + number(type) + ", " +
                                              buffer(data) + ", " + number(size));
    call.strings = {name};
    if (data != NULL)
        call.data.assign(reinterpret_cast<const char *>(data), size);
    return script().set_result;
}

LONG WINAPI RegCloseKey(HKEY key)
{
    record("RegCloseKey", key_name(key));
    closed(key);
    return script().close_result;
}

DWORD WINAPI WNetAddConnection3A(HWND owner, LPNETRESOURCEA resource, LPCSTR password, LPCSTR user,
                                 DWORD flags)
{
    Call &call = record("WNetAddConnection3A",
                        pointer(owner) + ", {" + number(resource->dwScope) + ", " +
                            number(resource->dwType) + ", " + number(resource->dwDisplayType) +
                            ", " + number(resource->dwUsage) + ", " + quote(resource->lpLocalName) +
                            ", " + quote(resource->lpRemoteName) + ", " +
                            quote(resource->lpComment) + ", " + quote(resource->lpProvider) +
                            "}, " + quote(password) + ", " + quote(user) + ", " + number(flags));
    call.strings = {resource->lpLocalName, resource->lpRemoteName};
    return next_or<DWORD>(script().add_results, NO_ERROR);
}

DWORD WINAPI WNetCancelConnection2A(LPCSTR name, DWORD flags, BOOL force)
{
    record("WNetCancelConnection2A", quote(name) + ", " + number(flags) + ", " + number(force))
        .strings = {name};
    return next_or<DWORD>(script().cancel_results, NO_ERROR);
}
