// Turns fuzz bytes into a command line and a platform script.
#include "fuzz_case.h"

#include <ctype.h>

namespace {

const char *const COMMAND_WORDS[] = {"/install-startup", "/startup", "/map", "/unmap", "/status"};

class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

    uint32_t word()
    {
        uint32_t value = 0;
        for (int shift = 0; shift < 32; shift += 8)
            value |= static_cast<uint32_t>(byte()) << shift;
        return value;
    }

    size_t u16()
    {
        size_t low = byte();
        return low | static_cast<size_t>(byte()) << 8;
    }

    std::string bytes()
    {
        size_t n = byte();
        // A run stops at 4095 bytes: longer than any buffer the tool or the
        // platform has, and long runs copied into every call record would
        // cost more time than they find.
        if (n >= 0xF8) {
            char fill = static_cast<char>(byte());
            return std::string(u16() % 4096, fill);
        }
        if (n >= 0xF0)
            n = u16();
        size_t left = size_ - at_;
        if (n > left)
            n = left;
        std::string text(reinterpret_cast<const char *>(data_ + at_), n);
        at_ += n;
        return text;
    }

    // A string as the platform hands it over: up to its first NUL.
    std::string text()
    {
        std::string raw = bytes();
        return raw.substr(0, raw.find('\0'));
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

std::string command_word(uint8_t kind, uint8_t case_mask)
{
    std::string word = COMMAND_WORDS[(kind & 7) % 5];
    int letter = 0;
    for (char &c : word)
        if (isalpha(static_cast<unsigned char>(c)) && (case_mask >> (letter++ % 8)) & 1)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return word;
}

std::string lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

standin::ProfileValue profile_value(Reader &in)
{
    uint8_t selector = in.byte();
    standin::ProfileValue value;
    unsigned letter = selector & 0x1f;
    value.section = letter < 26 ? std::string("Drive.") + static_cast<char>('A' + letter)
                                : in.text();
    value.key = (selector & 0x80) ? in.text() : (selector & 0x20) ? "Remote" : "Local";
    if (selector & 0x40) {
        value.section = lower(value.section);
        value.key = lower(value.key);
    }
    value.value = in.text();
    return value;
}

} // namespace

FuzzCase decode(const uint8_t *data, size_t size)
{
    Reader in(data, size);
    FuzzCase c;
    standin::Script &s = c.script;

    for (int n = in.byte() % 8; n > 0; --n) {
        uint8_t kind = in.byte();
        c.args.push_back(kind < 0x80 ? in.text() : command_word(kind, in.byte()));
    }

    uint8_t flags = in.byte();
    s.device_present = !(flags & 1);
    s.module_path_cut_terminated = (flags & 2) != 0;

    for (int n = in.byte() % 32; n > 0; --n)
        s.add_results.push_back(in.word());
    for (int n = in.byte() % 32; n > 0; --n)
        s.cancel_results.push_back(in.word());
    for (int n = in.byte() % 8; n > 0; --n) {
        standin::DeviceAnswer answer;
        answer.result = static_cast<BOOL>(in.word());
        answer.bytes_returned = in.word();
        answer.reply = in.bytes();
        s.device_answers.push_back(answer);
    }

    s.windows_directory = in.text();
    s.module_path = in.text();
    s.profile_path = (flags & 4) ? "C:\\NOWHERE\\mappings.ini"
                                 : s.windows_directory + "\\QUELT95\\mappings.ini";

    s.open_result = static_cast<LONG>(in.word());
    s.create_result = static_cast<LONG>(in.word());
    s.set_result = static_cast<LONG>(in.word());
    s.close_result = static_cast<LONG>(in.word());

    for (int n = in.byte() % 64; n > 0; --n)
        s.profile.push_back(profile_value(in));
    return c;
}
