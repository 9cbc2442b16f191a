// /map and /unmap: what reaches the router and what the user sees.
#include "tool_test.h"

namespace {

class Connections : public ToolTest {};

TEST_F(Connections, MapSendsOneDiskRequestThroughTheProvider)
{
    standin::Run run = standin::run({"/map", "r:", R"(\\QueltNFS\server\export)"});
    EXPECT_EQ(
        standin::texts(),
        (Texts{
            R"(WNetAddConnection3A(NULL, {0, 1, 0, 0, "r:", "\\QueltNFS\server\export", NULL, "QueltNFS95"}, NULL, NULL, 1))",
        }));
    EXPECT_EQ(run.out, "r: mapped to \\\\QueltNFS\\server\\export\n");
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.err, "");
}

TEST_F(Connections, UnmapCancelsWithProfileUpdateAndForce)
{
    standin::Run run = standin::run({"/unmap", "R:"});
    EXPECT_EQ(standin::texts(), (Texts{R"(WNetCancelConnection2A("R:", 1, 1))"}));
    EXPECT_EQ(run.out, "R: unmapped\n");
    EXPECT_EQ(run.result, 0);
}

// Names reach the router and the success line exactly as typed.
TEST_F(Connections, NamesPassUnchanged)
{
    const char *names[] = {"", " R: ", "lpt1", "*", "?:", "\xE9:", R"(\\a\b\c)", "x y"};
    for (const char *name : names) {
        standin::reset();
        standin::Run run = standin::run({"/map", name, name});
        EXPECT_EQ(run.out, std::string(name) + " mapped to " + name + "\n");
        ASSERT_EQ(standin::calls().back().strings.size(), 2u);
        EXPECT_EQ(standin::calls().back().strings[0], run.argv[2]);
        EXPECT_EQ(standin::calls().back().strings[1], run.argv[3]);

        standin::reset();
        run = standin::run({"/unmap", name});
        EXPECT_EQ(run.out, std::string(name) + " unmapped\n");
        EXPECT_EQ(standin::calls().back().strings[0], run.argv[2]);
    }
}

// Router codes print in unsigned decimal, however large, and give 1.
TEST_F(Connections, FailuresPrintTheCodeInUnsignedDecimal)
{
    struct Case {
        DWORD code;
        const char *digits;
    } cases[] = {
        {1, "1"},
        {85, "85"}, // ERROR_ALREADY_ASSIGNED
        {1200, "1200"},
        {2250, "2250"}, // ERROR_NOT_CONNECTED
        {0x7fffffff, "2147483647"},
        {0x80000000, "2147483648"},
        {0x80000001, "2147483649"},
        {0xffffffff, "4294967295"},
    };
    for (const Case &c : cases) {
        standin::reset();
        standin::script().add_results = {c.code};
        standin::Run run = standin::run({"/map", "R:", "\\\\s\\e"});
        EXPECT_EQ(run.out, std::string("map failed: ") + c.digits + "\n");
        EXPECT_EQ(run.result, 1);
        EXPECT_EQ(standin::texts().size(), 1u); // nothing retried, nothing cancelled

        standin::reset();
        standin::script().cancel_results = {c.code};
        run = standin::run({"/unmap", "R:"});
        EXPECT_EQ(run.out, std::string("unmap failed: ") + c.digits + "\n");
        EXPECT_EQ(run.result, 1);
        EXPECT_EQ(standin::texts().size(), 1u);
        EXPECT_EQ(run.err, "");
    }
}

} // namespace
