// /status and /status R:: the requests the driver gets and what is printed.
#include "tool_test.h"

#include <string.h>

namespace {

class Driver : public ToolTest {};

const char OPEN[] = R"(CreateFileA("\\.\QUELTVXD", 0, 0, NULL, 3, 128, NULL))";
const char STATUS_REQUEST[] = "DeviceIoControl(0x5eed, 2052, NULL, 0, out, 16, &0, NULL)";
const char MAPPING_REQUEST[] = "DeviceIoControl(0x5eed, 2050, in, 64, out, 908, &0, NULL)";
const char CLOSE[] = "CloseHandle(0x5eed)";

void put(std::string &record, size_t offset, const std::string &text)
{
    record.replace(offset, text.size(), text);
}

// A 908-byte mapping reply with the four strings at their offsets.
std::string mapping_reply(const std::string &local, const std::string &remote,
                          const std::string &server, const std::string &export_path)
{
    std::string reply(908, '\0');
    put(reply, 8, local);
    put(reply, 72, remote);
    put(reply, 520, server);
    put(reply, 648, export_path);
    return reply;
}

std::string status_reply(DWORD unused, DWORD count, DWORD total, DWORD flags)
{
    DWORD words[4] = {unused, count, total, flags};
    return std::string(reinterpret_cast<const char *>(words), sizeof words);
}

void answer(BOOL result, const std::string &reply, DWORD bytes_returned = 0)
{
    standin::script().device_answers.push_back({result, reply, bytes_returned});
}

TEST_F(Driver, AbsentDriverIsOneLineAndNoRequest)
{
    const Args cases[] = {{"/status"}, {"/status", "R:"}, {"/status", ""}};
    for (const Args &args : cases) {
        standin::reset();
        standin::script().device_present = false;
        standin::Run run = standin::run(args);
        EXPECT_EQ(run.out, "QUELTVXD not loaded\n");
        EXPECT_EQ(run.result, 1);
        EXPECT_EQ(standin::texts(), Texts{OPEN}); // no request, nothing closed
    }
}

TEST_F(Driver, FalseAnswersCloseFirstAndPrintTheFixedLine)
{
    answer(FALSE, status_reply(0, 5, 6, 3));
    standin::Run run = standin::run({"/status"});
    EXPECT_EQ(run.out, "QUELTVXD status query failed\n");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(standin::texts(), (Texts{OPEN, STATUS_REQUEST, CLOSE}));

    standin::reset();
    answer(FALSE, mapping_reply("R:", "x", "y", "z"));
    run = standin::run({"/status", "r:"});
    EXPECT_EQ(run.out, "r: is not mapped in QUELTVXD\n");
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(standin::texts(),
              (Texts{OPEN, R"(lstrcpynA(out, "r:", 64))", MAPPING_REQUEST, CLOSE}));
    EXPECT_EQ(standin::open_handles(), 0);
}

TEST_F(Driver, StatusPrintsCountsAtOffsets4And8AndBits0And1)
{
    struct Case {
        std::string reply;
        const char *out;
    } cases[] = {
        {"",
         "QUELTVXD loaded, 0/0 mappings\nIFS scaffold: not ready, registration: not prepared\n"},
        {status_reply(0xffffffff, 2, 7, 1),
         "QUELTVXD loaded, 2/7 mappings\nIFS scaffold: ready, registration: not prepared\n"},
        {status_reply(0, 0, 0, 2),
         "QUELTVXD loaded, 0/0 mappings\nIFS scaffold: not ready, registration: prepared\n"},
        {status_reply(0, 1, 1, 3),
         "QUELTVXD loaded, 1/1 mappings\nIFS scaffold: ready, registration: prepared\n"},
        {status_reply(0, 0, 0, 0xfffffffc),
         "QUELTVXD loaded, 0/0 mappings\nIFS scaffold: not ready, registration: not prepared\n"},
        {status_reply(0, 0, 0, 0x80000006),
         "QUELTVXD loaded, 0/0 mappings\nIFS scaffold: not ready, registration: prepared\n"},
        {status_reply(0, 0xffffffff, 0x80000000, 0xffffffff),
         "QUELTVXD loaded, 4294967295/2147483648 mappings\n"
         "IFS scaffold: ready, registration: prepared\n"},
        // Only the first 8 bytes written: the rest reads as zero.
        {status_reply(9, 4, 0, 0).substr(0, 8),
         "QUELTVXD loaded, 4/0 mappings\nIFS scaffold: not ready, registration: not prepared\n"},
    };
    for (const Case &c : cases) {
        standin::reset();
        answer(TRUE, c.reply, 12345); // the counter's value must not matter
        standin::Run run = standin::run({"/status"});
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(standin::texts(), (Texts{OPEN, STATUS_REQUEST, CLOSE}));
    }
}

TEST_F(Driver, MappingPrintsTheFourStringsOnly)
{
    struct Case {
        std::string reply;
        const char *out;
    } cases[] = {
        {mapping_reply("R:", R"(\\QueltNFS\srv\exp)", "srv", "/exp"),
         "R: -> \\\\QueltNFS\\srv\\exp\nserver=srv export=/exp\n"},
        // Nothing written: four empty strings.
        {"", " -> \nserver= export=\n"},
        // Bytes 0-7 and the bytes after each terminator are not read.
        {"\xff\xff\xff\xff\xff\xff\xff\xff" + mapping_reply("Q:", "r", "s", "e").substr(8),
         "Q: -> r\nserver=s export=e\n"},
        {mapping_reply(std::string("Q:\0junk", 7), std::string("r\0junk", 6),
                       std::string("s\0junk", 6), std::string("e\0junk", 6)),
         "Q: -> r\nserver=s export=e\n"},
        // A reply cut short inside local_name.
        {mapping_reply("ABCDEF", "x", "y", "z").substr(0, 11), "ABC -> \nserver= export=\n"},
    };
    for (const Case &c : cases) {
        standin::reset();
        answer(TRUE, c.reply, 7);
        standin::Run run = standin::run({"/status", "R:"});
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.result, 0);
    }
}

// A driver that leaves a string unterminated: each string runs to its first
// zero byte or the end of the 908-byte record, never beyond.
TEST_F(Driver, UnterminatedReplyStopsAtTheEndOfTheRecord)
{
    std::string reply(908, 'A');
    for (size_t i = 0; i < reply.size(); ++i)
        reply[i] = static_cast<char>('a' + i % 26);
    answer(TRUE, reply);
    standin::Run run = standin::run({"/status", "R:"});
    std::string expected = reply.substr(8) + " -> " + reply.substr(72) +
                           "\nserver=" + reply.substr(520) + " export=" + reply.substr(648) + "\n";
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.result, 0);
}

TEST_F(Driver, RequestHoldsTheNameCutTo63CharactersAndZeros)
{
    struct Case {
        std::string name;
        std::string sent;
    } cases[] = {
        {"R:", std::string("R:") + std::string(62, '\0')},
        {"", std::string(64, '\0')},
        {std::string(63, 'n'), std::string(63, 'n') + '\0'},
        {std::string(64, 'n'), std::string(63, 'n') + '\0'},
        {std::string(300, 'n'), std::string(63, 'n') + '\0'},
        {"*?\xE9", std::string("*?\xE9") + std::string(61, '\0')},
    };
    for (const Case &c : cases) {
        standin::reset();
        answer(FALSE, "");
        standin::Run run = standin::run({"/status", c.name});
        const standin::Call &request = call_named("DeviceIoControl");
        EXPECT_EQ(request.text, MAPPING_REQUEST);
        EXPECT_EQ(request.data, c.sent) << c.name.size();
        // The failure line shows the whole name, not the copy.
        EXPECT_EQ(run.out, c.name + " is not mapped in QUELTVXD\n");
        EXPECT_EQ(call_named("lstrcpynA").strings[0], run.argv[2]);
    }
}

} // namespace
