#include "app/SettingsFile.h"

#include "platform/IniFiles.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

constexpr const char* kFileName = "Quillbox.ini";
constexpr const char* kFolderName = "Quillbox";

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string HomeFolder()
{
    std::string home = Environment("HOME");
    if (home.empty())
        if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir)
            home = entry->pw_dir;
    return home;
}

} // namespace

std::string SettingsFileName(const std::string& programDir)
{
    namespace fs = std::filesystem;
    const fs::path beside = fs::path(programDir) / kFileName;
    std::error_code error;
    if (fs::exists(beside, error))
        return beside.string();
    fs::path config = Environment("XDG_CONFIG_HOME");
    if (!config.is_absolute()) {
        const std::string home = HomeFolder();
        if (home.empty())
            return beside.string(); // nowhere else to go
        config = fs::path(home) / ".config";
    }
    return (config / kFolderName / kFileName).string();
}

void CreateSettingsFolder(const std::string& fileName)
{
    std::filesystem::path folder;
    for (const auto& part : std::filesystem::path(fileName).parent_path()) {
        folder /= part;
        // EEXIST for every folder that is there already; any other failure
        // shows in the write.
        mkdir(folder.c_str(), 0700);
    }
}

std::optional<std::string> ReadSetting(const platform::TIniFile& ini, const char* section, const char* key)
{
    // A value is one line, so it is never the line break this default holds.
    const std::string none = "\n";
    std::string value = ini.ReadString(section, key, none);
    if (value == none)
        return std::nullopt;
    return value;
}
