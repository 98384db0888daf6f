#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// The host's file system and process, for the layers that touch files (log,
// config, archive, service). Paths are UTF-8 text: the service's own text is
// Windows-1252 and is converted with Cp1252ToUtf8 where it becomes a path; on
// Windows the names go to the file API as UTF-16. One implementation per host
// (FileSystemPosix.cpp, FileSystemWindows.cpp); errors are the host's codes
// (errno, or GetLastError()), told apart and turned into text here.
namespace fsys {

// The separator the service puts between folder names ('/', or '\\' on Windows).
extern const char PATH_SEPARATOR;
// Every character that separates folder names in a path given to the service
// ("/"; Windows takes "\\" and "/").
extern const char* const PATH_SEPARATORS;

// A file as the last look at it found it; equal stamps mean nobody changed it since.
struct FileStamp {
  uint64_t device = 0;
  uint64_t id = 0;
  int64_t size = -1;
  int64_t modified = 0;  // nanoseconds since 1970
  int64_t changed = 0;   // nanoseconds since 1970 (status change, or creation on Windows)
  bool operator==(const FileStamp&) const = default;
};

struct FileInfo {
  bool isDirectory = false;
  bool isRegular = false;
  bool isLink = false;  // only when links are not followed
  int64_t size = 0;
  FileStamp stamp;
};

// False when the name does not exist (err set); followLinks false looks at a link itself.
bool Stat(const std::string& path, FileInfo& info, bool followLinks, int& err);
bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);

// Makes one folder level (mode on POSIX hosts); false with err when it failed.
bool MakeFolder(const std::string& path, unsigned mode, int& err);
// The names in a folder (without "." and ".."), sorted; empty when it cannot be read.
std::vector<std::string> ListFolder(const std::string& folder);
// Calls visit with each name in a folder (without "." and ".."), in the
// folder's own order, holding no list: for folders that may hold very many
// files (an output folder the LIS has not imported from for a while).
void ForEachInFolder(const std::string& folder, const std::function<void(const std::string& name)>& visit);

bool ReadWholeFile(const std::string& path, std::string& out, int& err);
bool RemoveFile(const std::string& path, int& err);
// Renames, replacing an existing file of the new name.
bool RenameFile(const std::string& from, const std::string& to, int& err);

// Replaces the file's content through a new file beside it (beside the target
// of a symbolic link; mode kept), which is renamed over it; where no file can be made beside it the file is
// rewritten in place after room for the new content is reserved. On a full
// disk nothing is rewritten and the file stays as it was.
bool ReplaceFileContent(const std::string& file, const std::string& data, int& err);

// What step of WriteNewFile failed.
enum class NewFileStep { None, Create, Write, Rename };
// Writes data as "<path>.XXXXXX.tmp" in the file's folder, flushes it to disk
// and gives it the name path, never replacing a file (AlreadyExists(err) when
// the name is taken; the temporary file is removed on every failure).
// ordinaryMode gives the file the mode a new file gets under the umask
// (otherwise it stays readable by its owner only).
NewFileStep WriteNewFile(const std::string& path, const std::string& data, bool ordinaryMode, int& err);
// WriteNewFile in two steps, for a group of files that are all flushed before
// any gets its name: the data written as "<path>.XXXXXX.tmp" and flushed
// (temp names it; nothing stays on failure) ...
NewFileStep WriteTempFile(const std::string& path, const std::string& data, bool ordinaryMode, std::string& temp,
                          int& err);
// ... and the temporary file given its name, never replacing a file
// (AlreadyExists(err) when the name is taken; the temporary file stays then).
bool RenameNew(const std::string& temp, const std::string& path, int& err);
// Makes the names in the folder durable (a rename or removal survives a power
// cut). opened (when given) tells whether the folder could be opened at all.
bool FlushFolder(const std::string& folder, int& err, bool* opened = nullptr);

// A file kept open to append records to and to read them back (the spool's
// journal). Append and Flush may run on different threads at once.
class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  // Opens the file for appending; create makes a new one (its owner's only)
  // and fails when the name is taken. False with err.
  bool Open(const std::string& path, bool create, int& err);
  bool IsOpen() const { return handle_ != -1; }
  // Appends all of data at the end; false with err (a part may be there).
  bool Append(const std::string& data, int& err);
  // Makes what was appended durable (its bytes and the file's size).
  bool Flush(int& err);
  // Reads n bytes at offset; false with err (or a file that ends before).
  bool ReadAt(uint64_t offset, size_t n, std::string& out, int& err);
  // The file's size now; -1 when it cannot be told.
  int64_t Size();
  // Cuts the file to size bytes (a torn last record).
  bool Truncate(uint64_t size, int& err);
  void Close();

 private:
  intptr_t handle_ = -1;  // the descriptor, or the HANDLE on Windows
};

bool NotFound(int err);
bool AlreadyExists(int err);
bool NoSpace(int err);
// The reason of a host error code as text ("No space left on device").
std::string ErrorText(int err);

// The running executable's full path.
std::string ExecutablePath();
// This process's id (a forked child has another).
long ProcessId();
// This process's resident memory in bytes (0 when the host does not say).
uint64_t ResidentBytes();

// True when the service may create files in the folder.
bool CanWriteFolder(const std::string& folder);
// The space the service may still use on the folder's file system; false when unknown.
bool FreeSpace(const std::string& folder, uint64_t& bytes);

// True for the names Windows keeps for devices (CON, PRN, AUX, NUL, COM0-9,
// LPT0-9, any letter case, with or without an extension): no file can have them there.
inline bool IsWindowsDeviceName(const std::string& name) {
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '0' &&
         base[3] <= '9';
}
// True when this host can have no file of that name (IsWindowsDeviceName on
// Windows; never on POSIX hosts).
bool IsReservedName(const std::string& name);

// A std::filesystem path from UTF-8 text.
inline std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace fsys
