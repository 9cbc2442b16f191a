// The command line: which words select which command, and the usage text.
#include "tool_test.h"

#include <gmock/gmock.h>

namespace {

class Dispatch : public ToolTest {};

TEST_F(Dispatch, UsageTextIsSevenExactLines)
{
    // Counted by hand, not taken from the tool: lengths without line feeds.
    const size_t lengths[] = {10, 6, 52, 22, 25, 21, 29};
    std::string text = USAGE_TEXT;
    size_t start = 0;
    for (size_t length : lengths) {
        size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(end - start, length) << text.substr(start, end - start);
        start = end + 1;
    }
    EXPECT_EQ(start, text.size());
    EXPECT_NE(text.find(R"(/map R: \\QueltNFS\\server\\export_path)"
                        "\n"),
              std::string::npos);
}

// Every run that selects no command: the usage text, result 2, and no call
// but the comparisons.
TEST_F(Dispatch, NoCommandSelectedPrintsUsageAndReturns2)
{
    const Args cases[] = {
        {},
        {"/help"},
        {""},
        {"map", "R:", "\\\\s\\e"},   // no slash
        {"-map", "R:", "\\\\s\\e"},  // hyphen for the slash
        {"/ma", "R:", "\\\\s\\e"},   // cut short
        {"/mapx", "R:", "\\\\s\\e"}, // extended
        {"/map "},                   // trailing blank
        {"/statu"},
        {"/statuses"},
        {"/start"},
        {"/startups"},
        {"/install"},
        {"/install_startup"},
        {"/install-startupx"},
        {"/install\xADstartup"}, // a soft hyphen is no hyphen
        {"/unmap2", "R:"},
        {"/map"}, // too few operands
        {"/map", "R:"},
        {"/MAP", "R:"},
        {"/unmap"},
        {"/UnMap"},
        {"R:", "/map", "\\\\s\\e"}, // command word in argument 2
        {"R:", "/status"},
    };
    for (const Args &args : cases) {
        standin::reset();
        standin::Run run = standin::run(args);
        std::string shown = args.empty() ? "(none)" : args[0];
        EXPECT_EQ(run.result, 2) << shown;
        EXPECT_EQ(run.out, USAGE_TEXT) << shown;
        EXPECT_EQ(run.err, "") << shown;
        EXPECT_EQ(standin::texts(), Texts()) << shown;
    }
}

TEST_F(Dispatch, ComparesArgument1WithEachWordInTableOrder)
{
    standin::run({"/nothing"});
    EXPECT_EQ(standin::texts(true), (Texts{
                                        R"(lstrcmpiA("/nothing", "/install-startup"))",
                                        R"(lstrcmpiA("/nothing", "/startup"))",
                                        R"(lstrcmpiA("/nothing", "/map"))",
                                        R"(lstrcmpiA("/nothing", "/unmap"))",
                                        R"(lstrcmpiA("/nothing", "/status"))",
                                    }));
}

TEST_F(Dispatch, NoArgumentsComparesNothing)
{
    standin::run({});
    EXPECT_EQ(standin::texts(true), Texts());
}

// Which operation runs, seen by the first platform call it makes.
std::string first_platform_call()
{
    for (const standin::Call &call : standin::calls())
        if (call.name != "lstrcmpiA")
            return call.name;
    return "";
}

struct Selection {
    Args args;
    const char *first_call;
};

TEST_F(Dispatch, SelectsCommandsIgnoringCaseAndTheExactArgcThresholds)
{
    const Selection cases[] = {
        {{"/install-startup"}, "GetModuleFileNameA"},
        {{"/INSTALL-STARTUP", "x", "y"}, "GetModuleFileNameA"},
        {{"/Install-Startup"}, "GetModuleFileNameA"},
        {{"/startup"}, "GetWindowsDirectoryA"},
        {{"/STARTUP", "extra"}, "GetWindowsDirectoryA"},
        {{"/map", "R:", "\\\\s\\e"}, "WNetAddConnection3A"},
        {{"/MAP", "R:", "\\\\s\\e"}, "WNetAddConnection3A"},
        {{"/Map", "R:", "\\\\s\\e", "more", "more"}, "WNetAddConnection3A"},
        {{"/unmap", "R:"}, "WNetCancelConnection2A"},
        {{"/UNMAP", "R:", "extra"}, "WNetCancelConnection2A"},
        {{"/status"}, "CreateFileA"},
        {{"/STATUS"}, "CreateFileA"},
        {{"/Status", "R:"}, "CreateFileA"},
        // The platform gives the soft hyphen no weight.
        {{"/ma\xADp", "R:", "\\\\s\\e"}, "WNetAddConnection3A"},
        {{"\xAD/STATUS"}, "CreateFileA"},
    };
    for (const Selection &c : cases) {
        standin::reset();
        standin::Run run = standin::run(c.args);
        EXPECT_EQ(first_platform_call(), c.first_call) << c.args[0];
        EXPECT_NE(run.out, USAGE_TEXT) << c.args[0];
    }
}

// /status alone asks for the state; any operand, even an empty one, asks
// for that drive.
TEST_F(Dispatch, StatusFormDependsOnArgcOnly)
{
    struct Case {
        Args args;
        const char *request;
    } cases[] = {
        {{"/status"}, "DeviceIoControl(0x5eed, 2052, NULL, 0, out, 16, &0, NULL)"},
        {{"/status", ""}, "DeviceIoControl(0x5eed, 2050, in, 64, out, 908, &0, NULL)"},
        {{"/status", "R:", "extra"}, "DeviceIoControl(0x5eed, 2050, in, 64, out, 908, &0, NULL)"},
    };
    for (const Case &c : cases) {
        standin::reset();
        standin::Run run = standin::run(c.args);
        EXPECT_THAT(standin::texts(), ::testing::Contains(c.request)) << c.args.size();
        if (c.args.size() > 1) {
            EXPECT_EQ(call_named("lstrcpynA").strings[0], run.argv[2]);
        }
    }
}

TEST_F(Dispatch, OperandsAreTheVeryArgvStrings)
{
    standin::Run run = standin::run({"/map", "r:", "\\\\srv\\*?", "ignored"});
    ASSERT_EQ(standin::calls().size(), 4u); // three comparisons, one add
    const standin::Call &add = standin::calls()[3];
    EXPECT_EQ(add.strings, (std::vector<const void *>{run.argv[2], run.argv[3]}));

    standin::reset();
    run = standin::run({"/unmap", "", "ignored"});
    const standin::Call &cancel = standin::calls().back();
    EXPECT_EQ(cancel.strings, (std::vector<const void *>{run.argv[2]}));
    EXPECT_EQ(run.out, " unmapped\n");
}

} // namespace
