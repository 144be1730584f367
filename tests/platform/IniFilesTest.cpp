#include "platform/IniFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using platform::GetPrivateProfileString;
using platform::ProfileTextToInt;
using platform::TIniFile;
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
    void TearDown() override
    {
        fs::remove_all(FDir);
    }
    void Put(const std::string& text) const
    {
        std::ofstream(FPath, std::ios::binary) << text;
    }
    std::string Contents() const
    {
        std::ifstream in(FPath, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    std::string FDir;
    std::string FPath;
};

TEST_F(IniFileTest, ReadsValuesByPrivateProfileRules)
{
    Put("; comment=ignored\r\n"
        "[Account]\r\n"
        "  host  =  mail.example  \r\n"
        "Host=second\r\n"
        "Port=110\r\n"
        "[account]\r\n"
        "User=in a later section of the same name\r\n"
        "[Options]\n"
        "ShowLog=\n"
        "NoEquals\n");
    struct Case {
        const char* Section;
        const char* Key;
        const char* Expected;
    };
    const Case cases[] = {
        {"Account", "Host", "mail.example"}, // blanks trimmed, first match wins
        {"ACCOUNT", "PORT", "110"},          // names compare without letter case
        {"Account", "User", "default"},      // only the first section counts
        {"Options", "ShowLog", ""},          // present but empty
        {"Options", "NoEquals", "default"},
        {"Missing", "Host", "default"},
        {"", "; comment", "default"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetPrivateProfileString(c.Section, c.Key, "default", FPath), c.Expected)
            << c.Section << "/" << c.Key;
    EXPECT_EQ(GetPrivateProfileString("Account", "Host", "none", FDir + "/absent.ini"), "none");
}

TEST_F(IniFileTest, CutsLongValuesTo1023Bytes)
{
    const std::string value(1500, 'v');
    Put("[A]\nK=" + value + "\n");
    EXPECT_EQ(GetPrivateProfileString("A", "K", "", FPath), value.substr(0, 1023));
}

TEST_F(IniFileTest, ReadsTheIntegerForms)
{
    struct Case {
        const char* Text;
        Integer Expected;
    };
    const Case cases[] = {
        {"1", 1},        {"01", 1},     {"0x1", 1},      {"0X1f", 31},   {"$1", 1},
        {"$ff", 255},    {"-12", -12},  {"2", 2},        {"true", -7},   {"yes", -7},
        {"", -7},        {"0x", -7},    {"1.0", -7},     {"$", -7},      {"0xg", -7},
        {"2147483647", 2147483647},     {"2147483648", -7},              {"$FFFFFFFF", -1},
        {"99999999999", -7},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProfileTextToInt(c.Text, -7), c.Expected) << '"' << c.Text << '"';
}

TEST_F(IniFileTest, WritingChangesOnlyTheKeysLine)
{
    const std::string before = "; my notes\r\n[Account]\r\nHost=old\r\nExtra = kept  \r\n\r\n[Mine]\r\nx=1\r\n";
    Put(before);
    ASSERT_TRUE(WritePrivateProfileString("account", "HOST", "new.example", FPath));
    EXPECT_EQ(Contents(), "; my notes\r\n[Account]\r\nHOST=new.example\r\nExtra = kept  \r\n\r\n[Mine]\r\nx=1\r\n");
}

TEST_F(IniFileTest, WritingAddsKeysAndSectionsWhereTheyBelong)
{
    Put("[Account]\nHost=h\n\n[Mine]\nx=1");
    ASSERT_TRUE(WritePrivateProfileString("Account", "Port", "110", FPath));
    ASSERT_TRUE(WritePrivateProfileString("Mine", "y", "2", FPath));
    ASSERT_TRUE(WritePrivateProfileString("Options", "ShowLog", "1", FPath));
    EXPECT_EQ(Contents(), "[Account]\nHost=h\nPort=110\n\n[Mine]\nx=1\ny=2\n[Options]\nShowLog=1\n");
}

TEST_F(IniFileTest, WritingCreatesTheFileAndKeepsValuesOnOneLine)
{
    ASSERT_TRUE(WritePrivateProfileString("Account", "Host", "a\r\nb\nc", FPath));
    EXPECT_EQ(Contents(), "[Account]\nHost=a  b c\n");
    EXPECT_EQ(GetPrivateProfileString("Account", "Host", "", FPath), "a  b c");
    // The atomic replacement leaves no temporary file behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(FDir), fs::directory_iterator()), 1);
}

TEST_F(IniFileTest, RefusedWriteRaisesWithTheFileName)
{
    // A folder that does not exist refuses the file, even for root.
    const std::string path = FDir + "/missing/Quillbox.ini";
    TIniFile ini(path);
    try {
        ini.WriteString("Account", "Host", "x");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Unable to write to " + path);
    }
    EXPECT_FALSE(fs::exists(FDir + "/missing"));
}

TEST_F(IniFileTest, SettingsObjectReadsAndWritesIntegers)
{
    TIniFile ini(FPath);
    ini.WriteInteger("Options", "ShowLog", 1);
    ini.WriteString("Account", "Host", "h");
    EXPECT_EQ(ini.ReadInteger("Options", "ShowLog", 0), 1);
    EXPECT_EQ(ini.ReadInteger("Options", "Missing", 5), 5);
    EXPECT_EQ(ini.ReadString("Account", "Host", ""), "h");
}

} // namespace
