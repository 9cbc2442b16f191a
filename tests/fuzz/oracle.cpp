// The rules every run keeps, whatever the platform answers: the exit
// status, the exact output built from the tool's message forms and the
// platform's answers, the exact platform calls of the selected command and
// nothing outside them, and every handle closed once.
#include "fuzz_case.h"
#include "usage_text.h"

#include <strings.h>

#include <algorithm>
#include <set>

namespace {

const char *const COMMAND_WORDS[] = {"/install-startup", "/startup", "/map", "/unmap", "/status"};
const char PROVIDER[] = "QueltNFS95";
const char DEVICE[] = "\\\\.\\QUELTVXD";
const char RUN_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char SUFFIX[] = "\\QUELT95\\mappings.ini";
const char COMMAND_FORMAT[] = "\"%s\" /startup";

enum Command { USAGE, INSTALL_STARTUP, STARTUP, MAP, UNMAP, STATUS, STATUS_DRIVE };

std::string without_soft_hyphens(const std::string &text)
{
    std::string kept;
    for (char ch : text)
        if (static_cast<unsigned char>(ch) != 0xAD)
            kept += ch;
    return kept;
}

// lstrcmpiA's comparison of a command word, as the stand-in makes it:
// ASCII letters fold, soft hyphens do not count.
bool same_ignoring_case(const std::string &text, const std::string &word)
{
    std::string a = without_soft_hyphens(text), b = without_soft_hyphens(word);
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x != y && !(isalpha(x) && isalpha(y) && tolower(x) == tolower(y)))
            return false;
    }
    return true;
}

Command select(const std::vector<std::string> &a)
{
    if (a.empty())
        return USAGE;
    if (same_ignoring_case(a[0], "/install-startup"))
        return INSTALL_STARTUP;
    if (same_ignoring_case(a[0], "/startup"))
        return STARTUP;
    if (same_ignoring_case(a[0], "/map") && a.size() >= 3)
        return MAP;
    if (same_ignoring_case(a[0], "/unmap") && a.size() >= 2)
        return UNMAP;
    if (same_ignoring_case(a[0], "/status"))
        return a.size() == 1 ? STATUS : STATUS_DRIVE;
    return USAGE;
}

// The platform functions each command may call besides the comparisons.
std::set<std::string> allowed_calls(Command command)
{
    switch (command) {
    case INSTALL_STARTUP:
        return {"GetModuleFileNameA", "wsprintfA",      "RegOpenKeyExA", "RegCreateKeyA",
                "lstrlenA",           "RegSetValueExA", "RegCloseKey"};
    case STARTUP:
        return {"GetWindowsDirectoryA", "lstrcatA", "wsprintfA", "GetPrivateProfileStringA",
                "WNetAddConnection3A"};
    case MAP:
        return {"WNetAddConnection3A"};
    case UNMAP:
        return {"WNetCancelConnection2A"};
    case STATUS:
        return {"CreateFileA", "DeviceIoControl", "CloseHandle"};
    case STATUS_DRIVE:
        return {"CreateFileA", "lstrcpynA", "DeviceIoControl", "CloseHandle"};
    case USAGE:
        break;
    }
    return {};
}

// Strings as the stand-in renders them in a call's text.
std::string q(const std::string &s)
{
    std::string text = "\"";
    text.reserve(s.size() + 2);
    for (unsigned char c : s.substr(0, s.find('\0'))) {
        if (c >= 0x20 && c < 0x7f) {
            text += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text + "\"";
}

std::string name_of(const std::string &call) { return call.substr(0, call.find('(')); }

std::string decimal(uint32_t n) { return std::to_string(static_cast<unsigned long>(n)); }

// What a run of one command must do, exactly.
struct Expected {
    int result = 0;
    std::string out;
    std::vector<std::string> calls;
    std::vector<std::pair<size_t, std::string>> data; // call index, bytes passed in
};

std::string map_call(const std::string &local, const std::string &remote)
{
    return "WNetAddConnection3A(NULL, {0, 1, 0, 0, " + q(local) + ", " + q(remote) + ", NULL, " +
           q(PROVIDER) + "}, NULL, NULL, 1)";
}

// map_drive's call and line, consuming one router answer.
void expect_map(Expected &e, std::deque<DWORD> &results, const std::string &local,
                const std::string &remote)
{
    DWORD code = 0;
    if (!results.empty()) {
        code = results.front();
        results.pop_front();
    }
    e.calls.push_back(map_call(local, remote));
    e.out += code ? "map failed: " + decimal(code) + "\n" : local + " mapped to " + remote + "\n";
    e.result = code ? 1 : 0;
}

// A reply record as the tool holds it after the request: the driver's
// bytes, cut to the record, and zeros where the driver wrote nothing.
std::string record(const standin::Script &s, size_t size, bool &answered)
{
    standin::DeviceAnswer answer = s.device_answers.empty() ? standin::DeviceAnswer{TRUE, "", 0}
                                                            : s.device_answers.front();
    answered = answer.result != 0;
    std::string bytes = answer.reply.substr(0, size);
    bytes.resize(size, '\0');
    return bytes;
}

uint32_t word_at(const std::string &r, size_t at)
{
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(static_cast<unsigned char>(r[at + i])) << (8 * i);
    return value;
}

// A string of the mapping reply: from its offset to the first zero byte,
// and never past the end of the record.
std::string string_at(const std::string &r, size_t at)
{
    return r.substr(at, r.find('\0', at) - at);
}

void expect_status(Expected &e, const FuzzCase &c, bool one_drive)
{
    const standin::Script &s = c.script;
    e.calls.push_back("CreateFileA(" + q(DEVICE) + ", 0, 0, NULL, 3, 128, NULL)");
    e.result = 1;
    if (!s.device_present) {
        e.out = "QUELTVXD not loaded\n";
        return;
    }
    bool answered = false;
    if (one_drive) {
        const std::string &name = c.args[1];
        std::string request = name.substr(0, 63);
        request.resize(64, '\0');
        e.calls.push_back("lstrcpynA(out, " + q(name) + ", 64)");
        e.data.push_back({e.calls.size(), request});
        e.calls.push_back("DeviceIoControl(0x5eed, 2050, in, 64, out, 908, &0, NULL)");
        std::string r = record(s, 908, answered);
        if (!answered) {
            e.out = name + " is not mapped in QUELTVXD\n";
        } else {
            e.out = string_at(r, 8) + " -> " + string_at(r, 72) + "\n" +
                    "server=" + string_at(r, 520) + " export=" + string_at(r, 648) + "\n";
            e.result = 0;
        }
    } else {
        e.calls.push_back("DeviceIoControl(0x5eed, 2052, NULL, 0, out, 16, &0, NULL)");
        std::string r = record(s, 16, answered);
        if (!answered) {
            e.out = "QUELTVXD status query failed\n";
        } else {
            uint32_t flags = word_at(r, 12);
            e.out = "QUELTVXD loaded, " + decimal(word_at(r, 4)) + "/" + decimal(word_at(r, 8)) +
                    " mappings\n" + "IFS scaffold: " + ((flags & 1) ? "ready" : "not ready") +
                    ", registration: " + ((flags & 2) ? "prepared" : "not prepared") + "\n";
            e.result = 0;
        }
    }
    e.calls.push_back("CloseHandle(0x5eed)");
}

// The profile reader's comparison of file, section and key names, as the
// stand-in makes it: strcasecmp folds ASCII letters, and every other byte,
// a soft hyphen too, counts. Only the command words go through lstrcmpiA.
bool same_profile_name(const std::string &a, const std::string &b)
{
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// The profile reader over the script: first value whose section and key
// match without regard to case, cut to the buffer; else the empty default.
std::string profile(const standin::Script &s, const std::string &path, const std::string &section,
                    const std::string &key, size_t capacity)
{
    if (!same_profile_name(path, s.profile_path))
        return "";
    for (const standin::ProfileValue &v : s.profile)
        if (same_profile_name(v.section, section) && same_profile_name(v.key, key))
            return v.value.substr(0, capacity - 1);
    return "";
}

void expect_startup(Expected &e, const FuzzCase &c)
{
    const standin::Script &s = c.script;
    std::string path = s.windows_directory + SUFFIX;
    std::string file = q(path) + ")";
    std::deque<DWORD> results = s.add_results;
    e.calls.push_back("GetWindowsDirectoryA(out, 260)");
    e.result = 0;
    // Without a directory that leaves room for the file name there is no
    // file to read: nothing more is asked, as when the file is missing.
    if (s.windows_directory.empty() || s.windows_directory.size() > 259 - (sizeof SUFFIX - 1))
        return;
    e.calls.push_back("lstrcatA(" + q(s.windows_directory) + ", " + q(SUFFIX) + ")");
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        std::string section = std::string("Drive.") + letter;
        e.calls.push_back("wsprintfA(out, \"Drive.%c\" -> " + q(section) + ")");
        std::string local = profile(s, path, section, "Local", 16);
        std::string remote = profile(s, path, section, "Remote", 260);
        e.calls.push_back("GetPrivateProfileStringA(" + q(section) +
                          ", \"Local\", \"\", out, 16, " + file);
        e.calls.push_back("GetPrivateProfileStringA(" + q(section) +
                          ", \"Remote\", \"\", out, 260, " + file);
        if (!local.empty() && !remote.empty())
            expect_map(e, results, local, remote);
    }
    e.result = 0;
}

void expect_install(Expected &e, const FuzzCase &c)
{
    const standin::Script &s = c.script;
    std::string command = "\"" + s.module_path + "\" /startup";
    e.calls.push_back("GetModuleFileNameA(NULL, out, 260)");
    // No path, or one cut to the buffer: a Run value would name a wrong
    // program, so nothing is written.
    if (s.module_path.empty() || s.module_path.size() >= 260) {
        e.result = 1;
        return;
    }
    e.calls.push_back("wsprintfA(out, " + q(COMMAND_FORMAT) + " -> " + q(command) + ")");
    e.calls.push_back("RegOpenKeyExA(HKEY_LOCAL_MACHINE, " + q(RUN_KEY) + ", 0, 2, out)");
    std::string key = "0x4b01";
    if (s.open_result != ERROR_SUCCESS) {
        e.calls.push_back("RegCreateKeyA(HKEY_LOCAL_MACHINE, " + q(RUN_KEY) + ", out)");
        key = "0x4b02";
        if (s.create_result != ERROR_SUCCESS) {
            e.result = 1;
            return;
        }
    }
    e.calls.push_back("lstrlenA(" + q(command) + ")");
    e.calls.push_back("RegSetValueExA(" + key + ", " + q(PROVIDER) + ", 0, 1, out, " +
                      std::to_string(command.size() + 1) + ")");
    e.data.push_back({e.calls.size() - 1, command + '\0'});
    e.calls.push_back("RegCloseKey(" + key + ")");
    // A failed write is a failure; a failed close goes unnoticed.
    e.result = s.set_result == ERROR_SUCCESS ? 0 : 1;
}

std::string show_calls(const std::vector<std::string> &calls)
{
    std::string text;
    for (const std::string &call : calls)
        text += "\n    " + call;
    return text;
}

} // namespace

Observed run_case(const FuzzCase &c)
{
    standin::reset();
    standin::script() = c.script;
    standin::Run run = standin::run(c.args);
    Observed seen;
    seen.result = run.result;
    seen.out = run.out;
    seen.err = run.err;
    seen.calls.reserve(standin::calls().size());
    seen.data.reserve(standin::calls().size());
    for (const standin::Call &call : standin::calls()) {
        seen.calls.push_back(call.text);
        seen.data.push_back(call.data);
    }
    seen.open_handles = standin::open_handles();
    seen.stray_closes = standin::stray_closes();
    return seen;
}

std::string violation(const FuzzCase &c, const Observed &seen)
{
    if (seen.result < 0 || seen.result > 2)
        return "result " + std::to_string(seen.result) + " is not 0, 1 or 2";
    if ((seen.result == 2) != (seen.out == USAGE_TEXT))
        return "result " + std::to_string(seen.result) + " with output:\n" + seen.out;
    if (!seen.err.empty())
        return "wrote to standard error: " + seen.err;
    if (seen.open_handles != 0)
        return std::to_string(seen.open_handles) + " handle(s) left open";
    if (seen.stray_closes != 0)
        return "closed a handle that was not open";

    // Comparisons of argument 1 with the command words come first, and
    // only there.
    size_t first = 0;
    for (; first < seen.calls.size() && name_of(seen.calls[first]) == "lstrcmpiA"; ++first) {
        bool known = false;
        for (const char *word : COMMAND_WORDS)
            known |= !c.args.empty() &&
                     seen.calls[first] == "lstrcmpiA(" + q(c.args[0]) + ", " + q(word) + ")";
        if (!known)
            return "unexpected comparison " + seen.calls[first];
    }

    Command command = select(c.args);
    std::set<std::string> allowed = allowed_calls(command);
    for (size_t i = first; i < seen.calls.size(); ++i)
        if (allowed.count(name_of(seen.calls[i])) == 0)
            return "call outside the command's own set: " + seen.calls[i];

    const standin::Script &s = c.script;

    Expected e;
    switch (command) {
    case USAGE:
        e.result = 2;
        e.out = USAGE_TEXT;
        break;
    case MAP: {
        std::deque<DWORD> results = s.add_results;
        expect_map(e, results, c.args[1], c.args[2]);
        break;
    }
    case UNMAP: {
        DWORD code = s.cancel_results.empty() ? 0 : s.cancel_results.front();
        e.calls.push_back("WNetCancelConnection2A(" + q(c.args[1]) + ", 1, 1)");
        e.out = code ? "unmap failed: " + decimal(code) + "\n" : c.args[1] + " unmapped\n";
        e.result = code ? 1 : 0;
        break;
    }
    case STATUS:
    case STATUS_DRIVE:
        expect_status(e, c, command == STATUS_DRIVE);
        break;
    case STARTUP:
        expect_startup(e, c);
        break;
    case INSTALL_STARTUP:
        expect_install(e, c);
        break;
    }

    std::vector<std::string> calls(seen.calls.begin() + static_cast<long>(first), seen.calls.end());
    if (calls != e.calls)
        return "platform calls:" + show_calls(calls) + "\n  expected:" + show_calls(e.calls);
    for (const std::pair<size_t, std::string> &d : e.data)
        if (seen.data[first + d.first] != d.second)
            return "bytes passed to " + e.calls[d.first] + " differ";
    if (seen.out != e.out)
        return "output:\n" + seen.out + "\n  expected:\n" + e.out;
    if (seen.result != e.result)
        return "result " + std::to_string(seen.result) + ", expected " + std::to_string(e.result);
    return "";
}
