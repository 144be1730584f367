// Where the settings live: beside the program when a file is there, else in
// the user's config folder, which the first save creates.
#include "app/SettingsFile.h"
#include "tests/app/AppFixture.h"

#include <QLineEdit>

namespace {

TEST_F(AppTest, SettingsBesideTheProgramElseInTheConfigFolder)
{
    const std::string config = "/Quillbox/Quillbox.ini", oldHome = getenv("HOME") ? getenv("HOME") : "";
    const struct {
        const char* ConfigHome; // nullptr: unset
        std::string Expected;
    } cases[] = {
        {"/tmp/cfg", "/tmp/cfg" + config},
        {nullptr, "/home/liisa/.config" + config},
        {"", "/home/liisa/.config" + config},
        {"relative", "/home/liisa/.config" + config}, // the XDG rules ignore relative paths
    };
    setenv("HOME", "/home/liisa", 1);
    for (const auto& c : cases) {
        c.ConfigHome ? setenv("XDG_CONFIG_HOME", c.ConfigHome, 1) : unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(SettingsFileName(Dir.string()), c.Expected);
        WriteIni("[Account]\n"); // beside the program
        EXPECT_EQ(SettingsFileName(Dir.string()), IniPath);
        std::filesystem::remove(IniPath);
    }
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", oldHome.c_str(), 1);
}

// The first close creates the missing folders for the user alone; the next
// start reads the file from there.
TEST_F(AppTest, SavingCreatesTheConfigFolder)
{
    IniPath = (Dir / "config/Quillbox/Quillbox.ini").string();
    Start();
    RunDialog([](TDlgOptionsAccount& dlg) { dlg.TxtHost->setText("mail.example.fi"); }, Qt::Key_Return);
    Main->close();
    for (const char* folder : {"config", "config/Quillbox"})
        EXPECT_EQ(std::filesystem::status(Dir / folder).permissions(), std::filesystem::perms::owner_all) << folder;
    Start();
    EXPECT_EQ(Main->AccountHost(), "mail.example.fi");
}

} // namespace
