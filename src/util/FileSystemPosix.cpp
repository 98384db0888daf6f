#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "util/FileSystem.hpp"

namespace fsys {

const char PATH_SEPARATOR = '/';
const char* const PATH_SEPARATORS = "/";

namespace {

int64_t Nanoseconds(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

FileInfo InfoOf(const struct stat& st) {
  FileInfo i;
  i.isDirectory = S_ISDIR(st.st_mode);
  i.isRegular = S_ISREG(st.st_mode);
  i.isLink = S_ISLNK(st.st_mode);
  i.size = st.st_size;
  i.stamp = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), st.st_size,
             Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
  return i;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// The process's file-creation mask, read without changing it (umask() would
// race with other threads creating files).
mode_t CurrentUmask() {
  static const mode_t mask = [] {
    mode_t m = 022;
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
      char line[128];
      unsigned value = 0;
      while (std::fgets(line, sizeof line, f)) {
        if (std::sscanf(line, "Umask: %o", &value) == 1) {
          m = static_cast<mode_t>(value);
          break;
        }
      }
      std::fclose(f);
    }
    return m;
  }();
  return mask;
}

// The in-place rewrite for a folder we may not write to. The old content is
// overwritten, so room for the new one is reserved before the first byte goes
// out; a file that would only grow into a full disk is left untouched.
bool RewriteInPlace(const std::string& file, const std::string& data, int& err) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    err = errno;
    return false;
  }
  struct stat st{};
  bool ok = ::fstat(fd, &st) == 0;
  if (!ok) err = errno;
  const auto want = static_cast<off_t>(data.size());
  if (ok && want > st.st_size && ::fallocate(fd, 0, 0, want) != 0 && errno != EOPNOTSUPP) {
    err = errno;
    ok = false;
  }
  if (ok) {
    size_t done = 0;
    while (ok && done < data.size()) {
      const ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        err = errno;
        ok = false;
      } else {
        done += static_cast<size_t>(n);
      }
    }
  }
  // Shortened only once the whole new content is in.
  if (ok && want < st.st_size && ::ftruncate(fd, want) != 0) {
    err = errno;
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    err = errno;
    ok = false;
  }
  return ok;
}

}  // namespace

bool Stat(const std::string& path, FileInfo& info, bool followLinks, int& err) {
  struct stat st{};
  if ((followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
    err = errno;
    return false;
  }
  info = InfoOf(st);
  return true;
}

bool IsDirectory(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool MakeFolder(const std::string& path, unsigned mode, int& err) {
  if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return true;
  err = errno;
  return false;
}

void ForEachInFolder(const std::string& folder, const std::function<void(const std::string& name)>& visit) {
  DIR* d = ::opendir(folder.c_str());
  if (!d) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") visit(n);
  }
  ::closedir(d);
}

std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> out;
  ForEachInFolder(folder, [&](const std::string& n) { out.push_back(n); });
  std::sort(out.begin(), out.end());
  return out;
}

bool ReadWholeFile(const std::string& path, std::string& out, int& err) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return false;
  }
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      ::close(fd);
      return false;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

bool RemoveFile(const std::string& path, int& err) {
  if (::unlink(path.c_str()) == 0) return true;
  err = errno;
  return false;
}

bool RenameFile(const std::string& from, const std::string& to, int& err) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  err = errno;
  return false;
}

bool ReplaceFileContent(const std::string& file, const std::string& data, int& err) {
  struct stat old{};
  bool exists = ::lstat(file.c_str(), &old) == 0;
  std::string target = file;
  if (exists && S_ISLNK(old.st_mode)) {
    char* real = ::realpath(file.c_str(), nullptr);
    if (!real) return RewriteInPlace(file, data, err);  // a dangling link: creating its target is all there is
    target = real;
    std::free(real);
    exists = ::stat(target.c_str(), &old) == 0;
  }
  if (exists && !S_ISREG(old.st_mode)) return RewriteInPlace(target, data, err);  // fails on a folder

  const std::string tmp = target + ".kvtmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    err = errno;
    if (!exists || NoSpace(err)) return false;
    return RewriteInPlace(target, data, err);
  }
  bool ok = WriteAll(fd, data);
  if (!ok) err = errno;
  if (ok && exists) ::fchmod(fd, old.st_mode & 07777);
  if (::close(fd) != 0 && ok) {
    err = errno;
    ok = false;
  }
  if (ok && ::rename(tmp.c_str(), target.c_str()) != 0) {
    err = errno;
    ok = false;
  }
  if (ok) return true;
  ::unlink(tmp.c_str());
  // A full disk leaves the old file as it is; anything else may still succeed in place.
  if (!exists || NoSpace(err)) return false;
  return RewriteInPlace(target, data, err);
}

NewFileStep WriteTempFile(const std::string& path, const std::string& data, bool ordinaryMode, std::string& temp,
                          int& err) {
  temp = path + ".XXXXXX.tmp";
  const int fd = ::mkstemps(temp.data(), 4);
  if (fd < 0) {
    err = errno;
    temp.clear();
    return NewFileStep::Create;
  }
  auto discard = [&](int e) {
    ::unlink(temp.c_str());
    temp.clear();
    err = e;
    return NewFileStep::Write;
  };
  if (!WriteAll(fd, data)) {
    const int e = errno;
    ::close(fd);
    return discard(e);
  }
  // mkstemps makes the file private; give it the mode an ordinary new file gets.
  if (ordinaryMode) ::fchmod(fd, 0666 & ~CurrentUmask());
  if (::fsync(fd) != 0) {
    const int e = errno;
    ::close(fd);
    return discard(e);
  }
  if (::close(fd) != 0) return discard(errno);
  return NewFileStep::None;
}

bool RenameNew(const std::string& temp, const std::string& path, int& err) {
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
  const int e = errno;
  if (e != EINVAL && e != ENOSYS && e != ENOTSUP) {
    err = e;
    return false;
  }
  // File systems without RENAME_NOREPLACE: a hard link fails as well when the name is taken.
  if (::link(temp.c_str(), path.c_str()) != 0) {
    err = errno;
    return false;
  }
  ::unlink(temp.c_str());
  return true;
}

NewFileStep WriteNewFile(const std::string& path, const std::string& data, bool ordinaryMode, int& err) {
  std::string temp;
  const NewFileStep step = WriteTempFile(path, data, ordinaryMode, temp, err);
  if (step != NewFileStep::None) return step;
  if (RenameNew(temp, path, err)) return NewFileStep::None;
  ::unlink(temp.c_str());
  return NewFileStep::Rename;
}

AppendFile::~AppendFile() { Close(); }

bool AppendFile::Open(const std::string& path, bool create, int& err) {
  Close();
  const int flags = O_RDWR | O_APPEND | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0);
  const int fd = ::open(path.c_str(), flags, 0600);
  if (fd < 0) {
    err = errno;
    return false;
  }
  handle_ = fd;
  return true;
}

bool AppendFile::Append(const std::string& data, int& err) {
  if (WriteAll(static_cast<int>(handle_), data)) return true;
  err = errno;
  return false;
}

bool AppendFile::Flush(int& err) {
  if (::fdatasync(static_cast<int>(handle_)) == 0) return true;
  err = errno;
  return false;
}

bool AppendFile::ReadAt(uint64_t offset, size_t n, std::string& out, int& err) {
  out.resize(n);
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(static_cast<int>(handle_), out.data() + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      err = r < 0 ? errno : EIO;
      out.clear();
      return false;
    }
    done += static_cast<size_t>(r);
  }
  return true;
}

int64_t AppendFile::Size() {
  struct stat st{};
  if (::fstat(static_cast<int>(handle_), &st) != 0) return -1;
  return st.st_size;
}

bool AppendFile::Truncate(uint64_t size, int& err) {
  if (::ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) == 0) return true;
  err = errno;
  return false;
}

void AppendFile::Close() {
  if (handle_ == -1) return;
  ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool FlushFolder(const std::string& folder, int& err, bool* opened) {
  const int dfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (opened) *opened = dfd >= 0;
  if (dfd < 0) {
    err = errno;
    return false;
  }
  const int r = ::fsync(dfd);
  err = errno;
  ::close(dfd);
  return r == 0;
}

bool NotFound(int err) { return err == ENOENT; }
bool AlreadyExists(int err) { return err == EEXIST; }
bool NoSpace(int err) { return err == ENOSPC || err == EDQUOT; }
std::string ErrorText(int err) { return std::strerror(err); }

std::string ExecutablePath() {
  std::string buf(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
  if (n <= 0) return {};
  buf.resize(static_cast<size_t>(n));
  return buf;
}

long ProcessId() { return static_cast<long>(::getpid()); }

uint64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  if (!(statm >> size >> resident)) return 0;
  return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

bool CanWriteFolder(const std::string& folder) { return ::access(folder.c_str(), W_OK | X_OK) == 0; }

bool FreeSpace(const std::string& folder, uint64_t& bytes) {
  struct statvfs vfs {};
  if (::statvfs(folder.c_str(), &vfs) != 0) return false;
  bytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  return true;
}

bool IsReservedName(const std::string&) { return false; }

}  // namespace fsys
