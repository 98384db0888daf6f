#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <atomic>

#include "util/Encoding.hpp"
#include "util/FileSystem.hpp"
#include "util/WideText.hpp"

// Names go to the wide (UTF-16) file API; errors are GetLastError() codes.
namespace fsys {

const char PATH_SEPARATOR = '\\';
const char* const PATH_SEPARATORS = "\\/";

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int LastError() { return static_cast<int>(::GetLastError()); }

// Closes a file handle.
struct File {
  HANDLE h;
  explicit File(HANDLE handle) : h(handle) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { Close(); }
  bool Open() const { return h != INVALID_HANDLE_VALUE; }
  bool Close() {
    if (!Open()) return true;
    const bool ok = ::CloseHandle(h) != 0;
    h = INVALID_HANDLE_VALUE;
    return ok;
  }
};

// A FILETIME (100 ns steps since 1601) as nanoseconds since 1970, as on Linux:
// the status page takes a file's age from it.
int64_t Nanoseconds(const FILETIME& t) {
  constexpr int64_t FROM_1601_TO_1970 = 116444736000000000;  // in 100 ns steps
  const auto steps = static_cast<int64_t>(static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime);
  return (steps - FROM_1601_TO_1970) * 100;
}

bool WriteAll(HANDLE h, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 30));
    DWORD n = 0;
    if (!::WriteFile(h, data.data() + done, chunk, &n, nullptr)) return false;
    done += n;
  }
  return true;
}

// The in-place rewrite for a folder we may not write to: room for the new
// content is reserved first, so a full disk leaves the old content as it was.
bool RewriteInPlace(const std::string& file, const std::string& data, int& err) {
  File f(::CreateFileW(WideOf(file).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.Open()) {
    err = LastError();
    return false;
  }
  LARGE_INTEGER size{};
  LARGE_INTEGER want{};
  want.QuadPart = static_cast<LONGLONG>(data.size());
  bool ok = ::GetFileSizeEx(f.h, &size) != 0;
  if (ok && want.QuadPart > size.QuadPart)
    ok = ::SetFilePointerEx(f.h, want, nullptr, FILE_BEGIN) && ::SetEndOfFile(f.h);
  LARGE_INTEGER zero{};
  ok = ok && ::SetFilePointerEx(f.h, zero, nullptr, FILE_BEGIN) && WriteAll(f.h, data);
  // Shortened only once the whole new content is in.
  if (ok && want.QuadPart < size.QuadPart) ok = ::SetEndOfFile(f.h) != 0;
  if (!ok) err = LastError();
  if (!f.Close() && ok) {
    err = LastError();
    ok = false;
  }
  return ok;
}

// A name no other writer uses at the same time: "<path>.XXXXXX.tmp".
std::string TemporaryName(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned long long seed = (static_cast<unsigned long long>(::GetCurrentProcessId()) << 32) ^ ::GetTickCount64() ^
                            (static_cast<unsigned long long>(++counter) * 2654435761u);
  std::string x;
  for (int i = 0; i < 6; ++i) {
    x += digits[seed % 36];
    seed /= 36;
  }
  return path + "." + x + ".tmp";
}

}  // namespace

bool Stat(const std::string& path, FileInfo& info, bool /*followLinks: links are not told apart*/, int& err) {
  const std::wstring name = WideOf(path);
  WIN32_FILE_ATTRIBUTE_DATA a{};
  if (!::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &a)) {
    err = LastError();
    return false;
  }
  info = FileInfo{};
  info.isDirectory = (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info.isRegular = !info.isDirectory && (a.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
  info.size = static_cast<int64_t>(static_cast<uint64_t>(a.nFileSizeHigh) << 32 | a.nFileSizeLow);
  info.stamp.size = info.size;
  info.stamp.modified = Nanoseconds(a.ftLastWriteTime);
  info.stamp.changed = Nanoseconds(a.ftCreationTime);
  // The file's identity: a file replaced by another of the same size and time is told apart.
  File f(::CreateFileW(name.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION h{};
  if (f.Open() && ::GetFileInformationByHandle(f.h, &h)) {
    info.stamp.device = h.dwVolumeSerialNumber;
    info.stamp.id = static_cast<uint64_t>(h.nFileIndexHigh) << 32 | h.nFileIndexLow;
  }
  return true;
}

bool IsDirectory(const std::string& path) {
  const DWORD a = ::GetFileAttributesW(WideOf(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsRegularFile(const std::string& path) {
  const DWORD a = ::GetFileAttributesW(WideOf(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool MakeFolder(const std::string& path, unsigned /*mode*/, int& err) {
  if (::CreateDirectoryW(WideOf(path).c_str(), nullptr)) return true;
  err = LastError();
  return false;
}

void ForEachInFolder(const std::string& folder, const std::function<void(const std::string& name)>& visit) {
  std::string pattern = folder;
  if (!pattern.empty() && std::string(PATH_SEPARATORS).find(pattern.back()) == std::string::npos)
    pattern += PATH_SEPARATOR;
  WIN32_FIND_DATAW d{};
  HANDLE h = ::FindFirstFileW(WideOf(pattern + "*").c_str(), &d);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    const std::string n = Utf8Of(d.cFileName);
    if (n != "." && n != "..") visit(n);
  } while (::FindNextFileW(h, &d));
  ::FindClose(h);
}

std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> out;
  ForEachInFolder(folder, [&](const std::string& n) { out.push_back(n); });
  std::sort(out.begin(), out.end());
  return out;
}

bool ReadWholeFile(const std::string& path, std::string& out, int& err) {
  File f(::CreateFileW(WideOf(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.Open()) {
    err = LastError();
    return false;
  }
  char buf[65536];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(f.h, buf, sizeof buf, &n, nullptr)) {
      err = LastError();
      return false;
    }
    if (n == 0) return true;
    out.append(buf, n);
  }
}

bool RemoveFile(const std::string& path, int& err) {
  if (::DeleteFileW(WideOf(path).c_str())) return true;
  err = LastError();
  return false;
}

bool RenameFile(const std::string& from, const std::string& to, int& err) {
  if (::MoveFileExW(WideOf(from).c_str(), WideOf(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  err = LastError();
  return false;
}

bool ReplaceFileContent(const std::string& file, const std::string& data, int& err) {
  const DWORD attrs = ::GetFileAttributesW(WideOf(file).c_str());
  const bool exists = attrs != INVALID_FILE_ATTRIBUTES;
  if (exists && (attrs & FILE_ATTRIBUTE_DIRECTORY)) return RewriteInPlace(file, data, err);  // fails on a folder

  const std::string tmp = file + ".kvtmp";
  bool ok = false;
  {
    File f(::CreateFileW(WideOf(tmp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr));
    if (!f.Open()) {
      err = LastError();
      if (!exists || NoSpace(err)) return false;
      return RewriteInPlace(file, data, err);
    }
    ok = WriteAll(f.h, data);
    if (!ok) err = LastError();
    if (!f.Close() && ok) {
      err = LastError();
      ok = false;
    }
  }
  // A reader holding the log open without delete sharing makes the rename fail: in place then.
  if (ok && !::MoveFileExW(WideOf(tmp).c_str(), WideOf(file).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    err = LastError();
    ok = false;
  }
  if (ok) return true;
  ::DeleteFileW(WideOf(tmp).c_str());
  if (!exists || NoSpace(err)) return false;
  return RewriteInPlace(file, data, err);
}

NewFileStep WriteTempFile(const std::string& path, const std::string& data, bool /*ordinaryMode*/, std::string& temp,
                          int& err) {
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    temp = TemporaryName(path);
    h = ::CreateFileW(WideOf(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && !AlreadyExists(LastError())) break;
  }
  if (h == INVALID_HANDLE_VALUE) {
    err = LastError();
    temp.clear();
    return NewFileStep::Create;
  }
  File f(h);
  auto discard = [&](int e) {
    f.Close();
    ::DeleteFileW(WideOf(temp).c_str());
    temp.clear();
    err = e;
    return NewFileStep::Write;
  };
  if (!WriteAll(f.h, data) || !::FlushFileBuffers(f.h)) return discard(LastError());
  if (!f.Close()) return discard(LastError());
  return NewFileStep::None;
}

bool RenameNew(const std::string& temp, const std::string& path, int& err) {
  // Without MOVEFILE_REPLACE_EXISTING a taken name fails; write-through makes the new name durable.
  if (::MoveFileExW(WideOf(temp).c_str(), WideOf(path).c_str(), MOVEFILE_WRITE_THROUGH)) return true;
  err = LastError();
  return false;
}

NewFileStep WriteNewFile(const std::string& path, const std::string& data, bool ordinaryMode, int& err) {
  std::string temp;
  const NewFileStep step = WriteTempFile(path, data, ordinaryMode, temp, err);
  if (step != NewFileStep::None) return step;
  if (RenameNew(temp, path, err)) return NewFileStep::None;
  ::DeleteFileW(WideOf(temp).c_str());
  return NewFileStep::Rename;
}

AppendFile::~AppendFile() { Close(); }

bool AppendFile::Open(const std::string& path, bool create, int& err) {
  Close();
  HANDLE h = ::CreateFileW(WideOf(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                           nullptr, create ? CREATE_NEW : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    err = LastError();
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool AppendFile::Append(const std::string& data, int& err) {
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  size_t done = 0;
  while (done < data.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 30));
    // Both offsets all ones: at the end of the file, wherever that is now.
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFF;
    at.OffsetHigh = 0xFFFFFFFF;
    DWORD n = 0;
    if (!::WriteFile(h, data.data() + done, chunk, &n, &at)) {
      err = LastError();
      return false;
    }
    done += n;
  }
  return true;
}

bool AppendFile::Flush(int& err) {
  if (::FlushFileBuffers(reinterpret_cast<HANDLE>(handle_))) return true;
  err = LastError();
  return false;
}

bool AppendFile::ReadAt(uint64_t offset, size_t n, std::string& out, int& err) {
  out.resize(n);
  size_t done = 0;
  while (done < n) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>((offset + done) & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(reinterpret_cast<HANDLE>(handle_), out.data() + done, chunk, &got, &at) || got == 0) {
      err = got == 0 ? ERROR_HANDLE_EOF : LastError();
      out.clear();
      return false;
    }
    done += got;
  }
  return true;
}

int64_t AppendFile::Size() {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(reinterpret_cast<HANDLE>(handle_), &size)) return -1;
  return size.QuadPart;
}

bool AppendFile::Truncate(uint64_t size, int& err) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (::SetFileInformationByHandle(reinterpret_cast<HANDLE>(handle_), FileEndOfFileInfo, &end, sizeof end)) return true;
  err = LastError();
  return false;
}

void AppendFile::Close() {
  if (handle_ == -1) return;
  ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

bool FlushFolder(const std::string& folder, int& err, bool* opened) {
  // Renames are made durable with MOVEFILE_WRITE_THROUGH, and NTFS journals
  // its folders; a folder cannot be flushed like a file. What is left to
  // check is that the folder is there.
  const bool there = IsDirectory(folder.empty() ? "." : folder);
  if (opened) *opened = there;
  if (there) return true;
  err = ERROR_PATH_NOT_FOUND;
  return false;
}

bool NotFound(int err) { return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND; }
bool AlreadyExists(int err) { return err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS; }
bool NoSpace(int err) { return err == ERROR_DISK_FULL || err == ERROR_HANDLE_DISK_FULL; }

std::string ErrorText(int err) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(err), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring w = n && text ? std::wstring(text, n) : std::wstring();
  if (text) ::LocalFree(text);
  while (!w.empty() && (w.back() == L'\r' || w.back() == L'\n' || w.back() == L' ' || w.back() == L'.')) w.pop_back();
  if (w.empty()) return "erro " + std::to_string(err);
  // Goes into the log, which is Windows-1252 text.
  return Utf8ToCp1252(Utf8Of(w));
}

std::string ExecutablePath() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      return Utf8Of(buf);
    }
    buf.resize(buf.size() * 2);
  }
}

long ProcessId() { return static_cast<long>(::GetCurrentProcessId()); }

uint64_t ResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.WorkingSetSize;
}

bool CanWriteFolder(const std::string& folder) {
  // The attribute is what Windows has of a folder's write permission short of
  // reading its ACL; a folder that refuses files shows in the spool's log lines.
  const DWORD a = ::GetFileAttributesW(WideOf(folder).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_READONLY);
}

bool FreeSpace(const std::string& folder, uint64_t& bytes) {
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(WideOf(folder).c_str(), &available, nullptr, nullptr)) return false;
  bytes = available.QuadPart;
  return true;
}

bool IsReservedName(const std::string& name) { return IsWindowsDeviceName(name); }

}  // namespace fsys
