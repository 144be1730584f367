// The private-profile (INI) file operations and a small settings object on
// top of them.
//
// File format: a section starts with a line "[Name]"; the lines after it hold
// "key=value". Section and key names compare without regard to letter case
// and without the blanks around them; the first matching section and key
// win. Reading never fails: a missing file, section or key gives the default.
// Writing one key changes only that key's line (or adds it at the end of its
// section, or adds the section at the end of the file) and keeps every other
// byte of the file; the file is rewritten atomically (a temporary file beside
// it, then rename), so a crash never leaves half a settings file behind.
#pragma once

#include "platform/Object.h"

#include <string>

namespace platform {

// A value read from a profile holds at most this many bytes (the reader's
// buffer of 1024 bytes with its terminating zero); longer values are cut.
constexpr size_t kProfileValueMax = 1023;

// The value of Section/Key in the file at path, blanks around it removed and
// cut to kProfileValueMax bytes; defaultValue when there is none.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& path);

// Sets Section/Key to value, creating the file, the section or the key as
// needed. Line breaks in value are written as blanks, since a value is one
// line. Returns false when the file cannot be read or replaced.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path);

// Reads an integer as settings files write it: "0x"/"0X" followed by hex
// digits (text longer than 2 characters), "$" followed by hex digits, or a
// decimal number with an optional sign. Anything else, or a value outside
// 32 bits, gives defaultValue.
Integer ProfileTextToInt(const std::string& text, Integer defaultValue);

// A settings file named by its full path. Reads and writes go straight to the
// file; there is nothing to flush.
class TIniFile : public TObject {
public:
    explicit TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}
    const char* ClassName() const override { return "TIniFile"; }

    const std::string& FileName() const { return FFileName; }

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    Integer ReadInteger(const std::string& section, const std::string& key,
                        Integer defaultValue) const;
    // Raise Exception "Unable to write to <file name>" when the write fails.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, Integer value);

private:
    std::string FFileName;
};

} // namespace platform
