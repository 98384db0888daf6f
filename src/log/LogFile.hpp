#pragma once
#include <sys/stat.h>

#include <string>
#include <vector>

// The file side of the service log: the encodings a log file found on disk
// may have, its lines, and whole-file reads and writes.
namespace logfile {

enum class FileEncoding { Ansi, Utf8, Utf16LE, Utf16BE };

bool IsUtf16(FileEncoding e);
// The byte-order mark of the encoding ("" for the 8-bit code page).
const std::string& Bom(FileEncoding e);
// The encoding a file's byte-order mark announces (Ansi without one).
FileEncoding EncodingOf(const std::string& text);
// A Windows-1252 text in the file's encoding.
std::string Encode(const std::string& cp1252, FileEncoding e);
// CR LF in the file's encoding.
const std::string& LineBreak(FileEncoding e);
// Splits encoded text at CR, LF and CR LF; a break at the very end opens no
// empty last line. Works on code units, so UTF-16 text keeps its bytes.
void SplitLines(const std::string& text, FileEncoding e, std::vector<std::string>& out);
bool HasLineBreak(const std::string& line, FileEncoding e);

// What the file looked like right after our last write.
struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  timespec mtime{};
  timespec ctime{};

  static FileIdentity Of(const struct stat& st);
  bool operator==(const FileIdentity& o) const;
};

// Reads to the end of fd; false on a read error.
bool ReadAll(int fd, std::string& out);
// Writes all of data; false on a write error.
bool WriteAll(int fd, const std::string& data);
// Replaces the file's content. A new file is written beside it and renamed
// over it, so that a reader or a crash never meets a half-written log; where
// that is not possible (a folder we may not write to, a symbolic link) the
// file is rewritten in place. err receives errno on failure.
bool WriteFileBytes(const std::string& file, const std::string& data, int& err);

}  // namespace logfile
