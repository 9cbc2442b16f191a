// The Win32 stand-in's control side: a test scripts what the platform
// answers, runs the tool's main, and reads back every call the tool made.
#ifndef QUELT_STANDIN_H
#define QUELT_STANDIN_H

#include <windows.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace standin {

// One platform call. `text` renders the name and every argument in order:
// strings quoted (bytes outside 0x20-0x7e as \xNN), NULL for null pointers,
// "out" for a buffer the callee fills, numbers in decimal, handles in hex.
struct Call {
    std::string name;
    std::string text;
    std::vector<const void *> strings; // addresses of the string arguments, in order
    std::string data;                  // bytes of a record passed in, where there is one
};

struct DeviceAnswer {
    BOOL result;
    std::string reply;    // bytes written to the front of the output record (cut to its size)
    DWORD bytes_returned; // what lands in the counter, which the tool must ignore
};

struct ProfileValue {
    std::string section; // matched without regard to case, as the platform does
    std::string key;
    std::string value;
};

struct Script {
    // Router: answers in call order; 0 (NO_ERROR) once a queue is empty.
    std::deque<DWORD> add_results;
    std::deque<DWORD> cancel_results;

    // Device: present or not; answers in call order, {TRUE, ""} once empty.
    bool device_present = true;
    std::deque<DeviceAnswer> device_answers;

    // Profile: `profile` holds the values of the one file named
    // `profile_path`; every other file reads as missing.
    std::string profile_path = "C:\\WINDOWS\\QUELT95\\mappings.ini";
    std::vector<ProfileValue> profile;

    // Windows directory and module path, with the platform's behaviour for
    // a buffer too small; an empty string makes the call return 0 with
    // nothing in the buffer.
    std::string windows_directory = "C:\\WINDOWS";
    std::string module_path = "C:\\QUELT\\QUELTMAP.EXE";
    // A module path cut to the buffer: false fills the buffer without a
    // terminator (Windows XP), true ends it at the last character (Vista
    // on); either way the result is the buffer's size.
    bool module_path_cut_terminated = false;

    // Registry results, each 0 (ERROR_SUCCESS) or an error code.
    LONG open_result = ERROR_SUCCESS;
    LONG create_result = ERROR_SUCCESS;
    LONG set_result = ERROR_SUCCESS;
    LONG close_result = ERROR_SUCCESS;
};

// Handles the stand-in gives out.
extern const HANDLE DEVICE_HANDLE;
extern const HKEY OPENED_KEY;
extern const HKEY CREATED_KEY;

// A run of the tool's main with the program name "queltmap95.exe" and the
// given arguments. The argument strings stay alive, at the same addresses,
// as long as the Run does.
struct Run {
    int result = 0;
    std::string out;
    std::string err;
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<char *> argv;
};

void reset();     // a fresh script and an empty call log
Script &script(); // what the platform will answer
Run run(const std::vector<std::string> &args);
const std::vector<Call> &calls();
// The texts of all calls, except lstrcmpiA unless asked for.
std::vector<std::string> texts(bool with_compares = false);
// Handles opened and not yet closed (device and registry keys).
int open_handles();
// Closes of a handle that was not open: an invalid handle, one never given
// out, or one closed twice.
int stray_closes();

// Every function that fills a buffer writes its whole claimed capacity
// before the answer goes in, so a capacity larger than the real buffer is
// an overflow that AddressSanitizer reports. Where the platform leaves the
// rest of a buffer undefined (after a string's terminator, or all of it
// when nothing is returned) the stand-in writes this byte; elsewhere each
// byte is written with the value it had.
const unsigned char UNWRITTEN = 0xCD;

} // namespace standin

// The tool's main, renamed for the test build.
int tool_main(int argc, char **argv);

#endif
