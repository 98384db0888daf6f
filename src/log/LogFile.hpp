#pragma once
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

// Replaces the file's content. A new file is written beside it (beside the
// target of a symbolic link) and renamed over it, so that a reader or a crash
// never meets a half-written log. Where no file can be made beside it (a
// folder we may not write to) the file is rewritten in place, but only after
// room for the new content is reserved. On a full disk nothing is rewritten:
// the file stays exactly as it was. err receives the host's error code on failure.
bool WriteFileBytes(const std::string& file, const std::string& data, int& err);

// The name of kept generation n of a log: "Logs/Redurozozi.txt", 1 ->
// "Logs/Redurozozi.1.txt" (the number goes before the extension).
std::string GenerationName(const std::string& file, int n);
// Keeps the file whole as generation 1, generation k becoming k + 1 and the
// one that would pass `generations` being dropped; afterwards the file no
// longer exists (a symbolic link stays, its target is copied). Renames need
// no free space, so this works on a full disk. A missing file or
// generations <= 0 is nothing to keep (true). err receives the host's error code on failure.
bool RotateFile(const std::string& file, int generations, int& err);

}  // namespace logfile
