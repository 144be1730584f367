#include "platform/IniFiles.h"
#include "platform/Format.h"

namespace platform {

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const
{
    return GetPrivateProfileString(section, key, defaultValue, FFileName);
}

Integer TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              Integer defaultValue) const
{
    return ProfileTextToInt(ReadString(section, key, ""), defaultValue);
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    if (!WritePrivateProfileString(section, key, value, FFileName))
        throw Exception(Format("Unable to write to %s", {FFileName}));
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, Integer value)
{
    WriteString(section, key, std::to_string(value));
}

} // namespace platform
