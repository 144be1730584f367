// Where the settings file "Quillbox.ini" lives. The window is handed the
// full path (TFrmMain's constructor) and knows nothing of these rules.
#pragma once

#include <optional>
#include <string>

namespace platform {
class TIniFile;
}

// The settings file of the program in programDir (its folder).
//
// A "Quillbox.ini" in that folder is used whenever it exists: a copy run
// from a folder of its own (portable use) and every installation from the
// time the file always lived there keep their settings. Otherwise the file
// is "$XDG_CONFIG_HOME/Quillbox/Quillbox.ini", with "$HOME/.config" in place
// of XDG_CONFIG_HOME when that is unset, empty or a relative path (the XDG
// Base Directory Specification ignores relative paths), and the home folder
// of the user's password entry when HOME is unset or empty. This reads the
// environment: an installed program cannot write beside itself in /usr/bin.
std::string SettingsFileName(const std::string& programDir);

// Creates the folder of the settings file fileName, and any missing folder
// above it, readable by the user alone (0700, as the XDG specification asks
// of folders it creates). A failure is left to the write that follows,
// which reports "Unable to write to <fileName>".
void CreateSettingsFolder(const std::string& fileName);

// The value of Section/Key in the file, or nullopt when the file has no such
// key: a key is written back only when it was read or the user set it, so
// that an old file gains nothing it does not need.
std::optional<std::string> ReadSetting(const platform::TIniFile& ini, const char* section, const char* key);
