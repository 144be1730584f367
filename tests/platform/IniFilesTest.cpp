#include "platform/IniFiles.h"
#include "tests/support/Mailbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using platform::GetPrivateProfileString;
using platform::ProfileTextToInt;
using platform::WritePrivateProfileString;

// A settings file in a fresh temporary folder.
class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "quillbox-ini-XXXXXX").string();
        FDir = mkdtemp(pattern.data());
        FPath = FDir + "/Quillbox.ini";
    }
    void TearDown() override { fs::remove_all(FDir); }
    void Put(const std::string& text) const { std::ofstream(FPath, std::ios::binary) << text; }

    std::string FDir;
    std::string FPath;
};

TEST_F(IniFileTest, ReadsValuesByPrivateProfileRules)
{
    Put("; comment=ignored\r\n[Account]\r\n  host  =  mail.example  \r\nHost=second\r\nPort=110\r\n"
        "[account]\r\nUser=in a later section of the same name\r\n"
        "[Options]\nShowLog=\nNoEquals\n[Long]\nK=" + std::string(1500, 'v') + "\n");
    const struct {
        const char* Section;
        const char* Key;
        const char* Expected;
    } cases[] = {
        {"Account", "Host", "mail.example"}, // blanks trimmed, first match wins
        {"ACCOUNT", "PORT", "110"},          // names compare without letter case
        {"Account", "User", "default"},      // only the first section counts
        {"Options", "ShowLog", ""},          // present but empty
        {"Options", "NoEquals", "default"},
        {"Missing", "Host", "default"},
        {"", "; comment", "default"},
    };
    EXPECT_EQ(GetPrivateProfileString("Long", "K", "", FPath), std::string(1023, 'v'));
    for (const auto& c : cases)
        EXPECT_EQ(GetPrivateProfileString(c.Section, c.Key, "default", FPath), c.Expected)
            << c.Section << "/" << c.Key;
    EXPECT_EQ(GetPrivateProfileString("Account", "Host", "none", FDir + "/absent.ini"), "none");
}

TEST_F(IniFileTest, ReadsTheIntegerForms)
{
    const struct {
        const char* Text;
        Integer Expected;
    } cases[] = {
        {"1", 1},     {"01", 1},  {"0x1", 1},    {"0X1f", 31}, {"$1", 1},   {"$ff", 255},
        {"-12", -12}, {"2", 2},   {"true", -7},  {"yes", -7},  {"", -7},    {"0x", -7},
        {"1.0", -7},  {"$", -7},  {"0xg", -7},   {"2147483648", -7},        {"$FFFFFFFF", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProfileTextToInt(c.Text, -7), c.Expected) << '"' << c.Text << '"';
}

// Each case writes one key into a file holding `Before` (none: no file).
TEST_F(IniFileTest, WritingChangesOnlyWhatItMust)
{
    const struct {
        const char* Before;
        const char* Section;
        const char* Key;
        const char* Value;
        const char* After;
    } cases[] = {
        {"; notes\r\n[Account]\r\nHost=old\r\nX = kept  \r\n\r\n[M]\r\nx=1\r\n", "account", "HOST", "new",
         "; notes\r\n[Account]\r\nHOST=new\r\nX = kept  \r\n\r\n[M]\r\nx=1\r\n"},
        {"[Account]\nHost=h\n\n[M]\nx=1", "Account", "Port", "110", "[Account]\nHost=h\nPort=110\n\n[M]\nx=1"},
        {"[Account]\nHost=h\n\n[M]\nx=1", "M", "y", "2", "[Account]\nHost=h\n\n[M]\nx=1\ny=2\n"},
        {"[M]\nx=1", "Options", "ShowLog", "1", "[M]\nx=1\n[Options]\nShowLog=1\n"},
        {nullptr, "Account", "Host", "a\r\nb\nc", "[Account]\nHost=a  b c\n"},
    };
    for (const auto& c : cases) {
        fs::remove(FPath);
        if (c.Before)
            Put(c.Before);
        ASSERT_TRUE(WritePrivateProfileString(c.Section, c.Key, c.Value, FPath)) << c.Key;
        EXPECT_EQ(testsupport::ReadFileBytes(FPath), c.After) << c.Key;
        // The atomic replacement leaves no temporary file behind.
        EXPECT_EQ(std::distance(fs::directory_iterator(FDir), fs::directory_iterator()), 1);
    }
}

// A write replaces the file, never rewrites it in place: a hard link to the
// old file keeps the old bytes; the new file keeps the permission bits.
TEST_F(IniFileTest, WritingReplacesTheFileAndLeavesLinksToTheOldOne)
{
    Put("[Account]\nHost=old\n");
    fs::permissions(FPath, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_hard_link(FPath, FDir + "/backup.ini");
    ASSERT_TRUE(WritePrivateProfileString("Account", "Host", "new", FPath));
    EXPECT_EQ(testsupport::ReadFileBytes(FPath) + testsupport::ReadFileBytes(FDir + "/backup.ini"),
              "[Account]\nHost=new\n[Account]\nHost=old\n");
    EXPECT_EQ(fs::status(FPath).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

} // namespace
