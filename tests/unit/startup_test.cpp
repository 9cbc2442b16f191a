// /startup and /install-startup: the mappings file, the Run value.
#include "tool_test.h"

#include <gmock/gmock.h>

namespace {

class Startup : public ToolTest {};
class Install : public ToolTest {};

const char FILE_PATH[] = R"(C:\WINDOWS\QUELT95\mappings.ini)";

void entry(const char *section, const char *key, const std::string &value)
{
    standin::script().profile.push_back({section, key, value});
}

Texts reads_of(char letter, const std::string &path = FILE_PATH)
{
    std::string section = std::string("Drive.") + letter;
    return {R"(wsprintfA(out, "Drive.%c" -> ")" + section + "\")",
            "GetPrivateProfileStringA(\"" + section + R"(", "Local", "", out, 16, ")" + path +
                "\")",
            "GetPrivateProfileStringA(\"" + section + R"(", "Remote", "", out, 260, ")" + path +
                "\")"};
}

std::string add(const std::string &local, const std::string &remote)
{
    return "WNetAddConnection3A(NULL, {0, 1, 0, 0, \"" + local + "\", \"" + remote +
           "\", NULL, \"QueltNFS95\"}, NULL, NULL, 1)";
}

TEST_F(Startup, WithoutAFileReadsAll26SectionsAndPrintsNothing)
{
    standin::Run run = standin::run({"/startup", "ignored"});
    Texts expected = {"GetWindowsDirectoryA(out, 260)",
                      R"(lstrcatA("C:\WINDOWS", "\QUELT95\mappings.ini"))"};
    for (char letter = 'A'; letter <= 'Z'; ++letter)
        for (const std::string &text : reads_of(letter))
            expected.push_back(text);
    EXPECT_EQ(standin::texts(), expected);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.result, 0);
}

TEST_F(Startup, ConnectsCompleteEntriesInLetterOrder)
{
    // File order is not letter order; incomplete entries sit between.
    entry("Drive.R", "Local", "R:");
    entry("Drive.R", "Remote", R"(\\QueltNFS\srv\r)");
    entry("drive.f", "LOCAL", "F:"); // names match without regard to case
    entry("drive.f", "remote", R"(\\QueltNFS\srv\f)");
    entry("Drive.B", "Local", "B:");        // no Remote
    entry("Drive.C", "Remote", R"(\\x\c)"); // no Local
    entry("Drive.D", "Local", "");          // empty Local
    entry("Drive.D", "Remote", R"(\\x\d)");
    entry("Drive.A", "Local", "Z:"); // the letter names the section only
    entry("Drive.A", "Remote", R"(\\x\a)");
    entry("Drive.1", "Local", "Y:"); // not one of the 26 sections
    entry("Drive.1", "Remote", R"(\\x\1)");
    entry("Drive.AA", "Local", "Y:");
    entry("Drive.AA", "Remote", R"(\\x\aa)");
    standin::script().add_results = {0, 1222, 0}; // the failure stops nothing

    standin::Run run = standin::run({"/startup"});
    EXPECT_EQ(run.out, "Z: mapped to \\\\x\\a\n"
                       "map failed: 1222\n"
                       "R: mapped to \\\\QueltNFS\\srv\\r\n");
    EXPECT_EQ(run.result, 0);
    Texts adds;
    for (const standin::Call &call : standin::calls())
        if (call.name == "WNetAddConnection3A")
            adds.push_back(call.text);
    EXPECT_EQ(adds, (Texts{add("Z:", R"(\\x\a)"), add("F:", R"(\\QueltNFS\srv\f)"),
                           add("R:", R"(\\QueltNFS\srv\r)")}));
}

// Each entry is connected before the next section is read.
TEST_F(Startup, EntriesAreHandledOneAfterAnother)
{
    entry("Drive.G", "Local", "G:");
    entry("Drive.G", "Remote", "g");
    entry("Drive.H", "Local", "G:"); // the same local name: both are requested
    entry("Drive.H", "Remote", "h");
    standin::script().add_results = {0, 85};
    standin::Run run = standin::run({"/startup"});
    EXPECT_EQ(run.out, "G: mapped to g\nmap failed: 85\n");
    Texts texts = standin::texts();
    Texts expected = reads_of('G');
    expected.push_back(add("G:", "g"));
    for (const std::string &text : reads_of('H'))
        expected.push_back(text);
    expected.push_back(add("G:", "h"));
    EXPECT_THAT(texts, ::testing::IsSupersetOf(expected));
    auto at = [&](const std::string &text) {
        return std::find(texts.begin(), texts.end(), text) - texts.begin();
    };
    EXPECT_LT(at(add("G:", "g")), at(reads_of('H')[0]));
    EXPECT_LT(at(reads_of('H')[2]), at(add("G:", "h")));
    EXPECT_LT(at(add("G:", "h")), at(reads_of('I')[0]));
}

TEST_F(Startup, LongValuesArePassedAsThePlatformCutsThem)
{
    entry("Drive.K", "Local", std::string(20, 'L'));
    entry("Drive.K", "Remote", std::string(300, 'r'));
    standin::Run run = standin::run({"/startup"});
    EXPECT_EQ(run.out, std::string(15, 'L') + " mapped to " + std::string(259, 'r') + "\n");
}

// The Windows directory leaves room for the 21-character suffix only up to
// 238 characters; otherwise there is no file to read.
TEST_F(Startup, WindowsDirectoryThatCannotHoldThePathReadsNothing)
{
    struct Case {
        std::string directory;
        bool reads;
    } cases[] = {
        {"", false},                             // the call failed
        {"C:\\" + std::string(235, 'w'), true},  // 238 characters
        {"C:\\" + std::string(236, 'w'), false}, // 239
        {"C:\\" + std::string(300, 'w'), false}, // buffer too small
        {"C:\\", true},                          // suffix appended unchanged
    };
    for (const Case &c : cases) {
        standin::reset();
        std::string path = c.directory + "\\QUELT95\\mappings.ini";
        standin::script().windows_directory = c.directory;
        standin::script().profile_path = path;
        standin::script().profile = {{"Drive.Z", "Local", "Z:"}, {"Drive.Z", "Remote", "z"}};
        standin::Run run = standin::run({"/startup"});
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.out, c.reads ? "Z: mapped to z\n" : "") << c.directory.size();
        Texts texts = standin::texts();
        if (c.reads) {
            ASSERT_EQ(texts.size(), 2u + 26 * 3 + 1);
            EXPECT_EQ(texts[3], reads_of('A', path)[1]);
        } else {
            EXPECT_EQ(texts, Texts{"GetWindowsDirectoryA(out, 260)"}) << c.directory.size();
        }
    }
}

const char RUN_KEY[] = R"("Software\Microsoft\Windows\CurrentVersion\Run")";

std::string value_data(const std::string &path)
{
    return "\"" + path + "\" /startup" + std::string(1, '\0');
}

TEST_F(Install, WritesTheQuotedCommandUnderTheRunKey)
{
    const char *paths[] = {R"(C:\QUELT\QUELTMAP.EXE)",
                           R"(C:\Program Files\Quelt NFS\queltmap95.exe)"};
    for (const char *path : paths) {
        standin::reset();
        standin::script().module_path = path;
        standin::Run run = standin::run({"/install-startup", "ignored"});
        std::string command = "\"" + std::string(path) + "\" /startup";
        EXPECT_EQ(standin::texts(),
                  (Texts{"GetModuleFileNameA(NULL, out, 260)",
                         R"(wsprintfA(out, ""%s" /startup" -> ")" + command + "\")",
                         std::string("RegOpenKeyExA(HKEY_LOCAL_MACHINE, ") + RUN_KEY +
                             ", 0, 2, out)",
                         "lstrlenA(\"" + command + "\")",
                         "RegSetValueExA(0x4b01, \"QueltNFS95\", 0, 1, out, " +
                             std::to_string(command.size() + 1) + ")",
                         "RegCloseKey(0x4b01)"}));
        EXPECT_EQ(call_named("RegSetValueExA").data, value_data(path));
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.result, 0);
    }
}

// What the registry answers decides the key used and the result.
TEST_F(Install, RegistryFailures)
{
    struct Case {
        LONG open, create, set, close;
        Texts registry_calls;
        int result;
    } cases[] = {
        {5,
         0,
         0,
         0,
         {"RegOpenKeyExA", "RegCreateKeyA", "RegSetValueExA(0x4b02", "RegCloseKey(0x4b02)"},
         0},
        {2, 5, 0, 0, {"RegOpenKeyExA", "RegCreateKeyA"}, 1}, // nothing to write or close
        {0, 0, 5, 0, {"RegOpenKeyExA", "RegSetValueExA(0x4b01", "RegCloseKey(0x4b01)"}, 1},
        {0, 0, 0, 6, {"RegOpenKeyExA", "RegSetValueExA(0x4b01", "RegCloseKey(0x4b01)"}, 0},
        {2,
         0,
         5,
         0,
         {"RegOpenKeyExA", "RegCreateKeyA", "RegSetValueExA(0x4b02", "RegCloseKey(0x4b02)"},
         1},
    };
    for (const Case &c : cases) {
        standin::reset();
        standin::script().open_result = c.open;
        standin::script().create_result = c.create;
        standin::script().set_result = c.set;
        standin::script().close_result = c.close;
        standin::Run run = standin::run({"/install-startup"});
        Texts registry;
        for (const std::string &text : standin::texts())
            if (text.compare(0, 3, "Reg") == 0)
                registry.push_back(text);
        ASSERT_EQ(registry.size(), c.registry_calls.size()) << c.open << c.create << c.set;
        for (size_t i = 0; i < registry.size(); ++i)
            EXPECT_EQ(registry[i].compare(0, c.registry_calls[i].size(), c.registry_calls[i]), 0)
                << registry[i];
        if (c.open != 0) {
            EXPECT_EQ(registry[1],
                      std::string("RegCreateKeyA(HKEY_LOCAL_MACHINE, ") + RUN_KEY + ", out)");
        }
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(standin::open_handles(), 0);
    }
}

// A path that could not be had, or was cut, would name a wrong program:
// nothing is written.
TEST_F(Install, OwnPathThatCannotBeHadWritesNothing)
{
    struct Case {
        std::string path;
        int result;
    } cases[] = {
        {"", 1},
        {"C:\\" + std::string(257, 'p'), 1}, // 260: fills the whole buffer
        {"C:\\" + std::string(400, 'p'), 1},
        {"C:\\" + std::string(256, 'p'), 0}, // 259: the longest that fits
    };
    for (const Case &c : cases) {
        standin::reset();
        standin::script().module_path = c.path;
        standin::Run run = standin::run({"/install-startup"});
        EXPECT_EQ(run.result, c.result) << c.path.size();
        EXPECT_EQ(run.out, "");
        if (c.result == 1) {
            EXPECT_EQ(standin::texts(), Texts{"GetModuleFileNameA(NULL, out, 260)"});
        } else {
            EXPECT_EQ(call_named("lstrlenA").text, "lstrlenA(\"\"" + c.path + "\" /startup\")");
            EXPECT_EQ(call_named("RegSetValueExA").data, value_data(c.path));
            EXPECT_EQ(call_named("RegSetValueExA").data.size(), 271u);
        }
    }
}

} // namespace
