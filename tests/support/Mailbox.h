// Generated mailboxes for the integration tests, the benchmark and the demo.
//
// A message is the byte content of one Maildir file: LF line ends, 8-bit
// bytes as they stand (Windows-1252 for the Finnish texts), always ending in
// LF. Every message is made from (seed, index) alone, so a mailbox of 10 000
// messages can be written without holding it, and the same seed gives the
// same bytes on every machine (our own generator, no <random> distributions).
//
// What the messages carry, the way real mail does: Received and References
// headers folded over several lines, Subject missing or given twice, encoded
// words (RFC 2047, Q and B) in Subject and From, raw Windows-1252 bytes
// (E4 = a-umlaut, F6 = o-umlaut) in Subject and body, body lines that start
// with a dot, a line that is only ".", and sizes from a few hundred bytes to
// about 100 KiB. Messages 0, 1 and 2 always carry every one of these shapes
// between them, so even a mailbox of three messages covers them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// The content of message `index` (0-based) of the mailbox made from `seed`.
std::string GenerateMessage(uint32_t seed, size_t index);

// The Maildir file name of message `index`: "<time>.Q<index>.quillbox:2,".
// The names sort in index order, and servers number a Maildir's messages in
// that order, so message number n (1-based) is index n - 1.
std::string MaildirFileName(size_t index);

// Creates maildir/{cur,new,tmp} and writes messages [0, count) into cur/.
// Returns the paths in message order.
std::vector<std::filesystem::path> WriteMaildir(const std::filesystem::path& maildir, size_t count,
                                                uint32_t seed);
// The same with contents given by the caller.
std::vector<std::filesystem::path> WriteMaildir(const std::filesystem::path& maildir,
                                                const std::vector<std::string>& messages);

// The files of maildir/cur in message order.
std::vector<std::filesystem::path> MaildirMessages(const std::filesystem::path& maildir);

// Reads a whole file (binary); empty when it cannot be read.
std::string ReadFileBytes(const std::filesystem::path& path);

} // namespace testsupport
