// What `cmake --install` and the Debian package put on a machine, each file
// where the desktop looks for it and accepted by the desktop's validators.
#include "app/Images.h"
#include "tests/support/Mailbox.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>
#include <set>

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFileBytes;

const std::string kId = QUILLBOX_APP_ID;
const std::string kUsage = "Usage: quillbox [--help | --version]";

// One install into a fresh prefix for each test.
class InstallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "quillbox-install-XXXXXX").string();
        Dir = mkdtemp(pattern.data());
        const std::string install = Run(QUILLBOX_CMAKE " --install " QUILLBOX_BUILD_DIR " --prefix " + Dir.string() + "/usr");
        ASSERT_TRUE(install.starts_with("0|")) << install;
    }
    void TearDown() override { fs::remove_all(Dir); }

    // Runs a shell command: "status|standard output|standard error".
    std::string Run(const std::string& command) const
    {
        const int status = std::system((command + " >" + Dir.string() + "/out 2>" + Dir.string() + "/err").c_str());
        return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "|" + ReadFileBytes(Dir / "out") + "|"
               + ReadFileBytes(Dir / "err");
    }
    static QImage Argb(const QImage& image) { return image.convertToFormat(QImage::Format_ARGB32); }

    fs::path Dir;
};

// These files and no others; no word from the validators; every PNG exactly
// the icon the window draws, and the SVG, drawn by librsvg, the same picture
// (here the renderers agree on every pixel; an unclosed outline or another
// line join differs in about 0.1 %); the program answers without a display.
TEST_F(InstallTest, FilesGoWhereTheDesktopLooksForThem)
{
    const std::string entry = "usr/share/applications/" + kId + ".desktop", meta = "usr/share/metainfo/" + kId + ".metainfo.xml";
    std::set<std::string> expected = {"usr/bin/quillbox", entry, meta, "usr/share/icons/hicolor/scalable/apps/quillbox.svg"};
    for (int size : {QUILLBOX_ICON_SIZES}) {
        const std::string png = "usr/share/icons/hicolor/" + std::to_string(size) + "x" + std::to_string(size) + "/apps/quillbox.png";
        expected.insert(png);
        EXPECT_EQ(Argb(QImage(QString::fromStdString((Dir / png).string()))), Argb(ProgramIconImage(size))) << png;
    }
    std::set<std::string> installed;
    for (const auto& file : fs::recursive_directory_iterator(Dir / "usr"))
        if (!file.is_directory())
            installed.insert(file.path().lexically_relative(Dir).string());
    EXPECT_EQ(installed, expected);

    EXPECT_EQ(Run("desktop-file-validate " + (Dir / entry).string()), "0||");
    const std::string appstream = Run("appstreamcli validate --no-net " + (Dir / meta).string());
    EXPECT_TRUE(appstream.starts_with("0|")) << appstream;
    for (const char* part : {"\nName=Quillbox\n", "\nComment=Check a POP3 mailbox", "\nComment[fi]=Tarkista POP3-",
                             "\nExec=quillbox\n", "\nIcon=quillbox\n", "\nCategories=Network;Email;\n"})
        EXPECT_NE(ReadFileBytes(Dir / entry).find(part), std::string::npos) << part;
    for (const std::string& part : {"<launchable type=\"desktop-id\">" + kId + ".desktop<", std::string("screenshot.png</image>")})
        EXPECT_NE(ReadFileBytes(Dir / meta).find(part), std::string::npos) << part;

    for (int size : {32, 256}) {
        ASSERT_EQ(Run("rsvg-convert -w " + std::to_string(size) + " -h " + std::to_string(size) + " -o " + Dir.string()
                      + "/svg.png " + Dir.string() + "/usr/share/icons/hicolor/scalable/apps/quillbox.svg"), "0||");
        const QImage svg = Argb(QImage(QString::fromStdString((Dir / "svg.png").string()))), drawn = Argb(ProgramIconImage(size));
        int different = 0; // channels more than a quarter apart
        for (int i = 0; i < size * size * 4; ++i)
            different += std::abs(svg.constBits()[i] - drawn.constBits()[i]) > 64;
        EXPECT_LE(different, size * size / 2000) << size;
    }

    // --version and --help: one line, status 0; anything else: the usage on
    // standard error, status 2.
    const std::string program = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + Dir.string() + "/usr/bin/quillbox ";
    EXPECT_EQ(Run(program + "--version"), "0|Quillbox " QUILLBOX_VERSION "\n|");
    EXPECT_EQ(Run(program + "--help"), "0|" + kUsage + " (without arguments: opens the window of the POP3 mailbox checker)\n|");
    for (const char* arguments : {"-v", "--version --help", "-platform offscreen", "''"})
        EXPECT_EQ(Run(program + arguments), "2||" + kUsage + "\n") << arguments;
}

// The Debian package holds the same files, in section mail, and depends on
// the libraries the program links (found by dpkg-shlibdeps).
TEST_F(InstallTest, DebianPackageHoldsTheInstallAndItsDependencies)
{
    ASSERT_EQ(Run(QUILLBOX_CPACK " -G DEB --config " QUILLBOX_BUILD_DIR "/CPackConfig.cmake -B " + Dir.string()).substr(0, 2), "0|");
    const std::string deb = Dir.string() + "/quillbox_" QUILLBOX_VERSION "_*.deb"; // the one for this machine
    const std::string contents = Run("dpkg-deb -c " + deb), info = Run("dpkg-deb -I " + deb);
    for (const auto& file : fs::recursive_directory_iterator(Dir / "usr")) {
        const std::string line = " ./" + file.path().lexically_relative(Dir).string() + (file.is_directory() ? "/\n" : "\n");
        EXPECT_NE(contents.find(line), std::string::npos) << line;
    }
    for (const char* field : {" Package: quillbox\n", " Section: mail\n", " Description: POP3 mailbox checker", "libqt6widgets6 (>="})
        EXPECT_NE(info.find(field), std::string::npos) << field << "\n" << info;
}

} // namespace
