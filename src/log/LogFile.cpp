#include "log/LogFile.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "util/Encoding.hpp"

namespace logfile {

namespace {

const std::string kBomUtf8 = "\xEF\xBB\xBF";
const std::string kBomUtf16LE = "\xFF\xFE";
const std::string kBomUtf16BE = "\xFE\xFF";

}  // namespace

bool IsUtf16(FileEncoding e) { return e == FileEncoding::Utf16LE || e == FileEncoding::Utf16BE; }

const std::string& Bom(FileEncoding e) {
  static const std::string none;
  switch (e) {
    case FileEncoding::Utf8: return kBomUtf8;
    case FileEncoding::Utf16LE: return kBomUtf16LE;
    case FileEncoding::Utf16BE: return kBomUtf16BE;
    default: return none;
  }
}

FileEncoding EncodingOf(const std::string& text) {
  if (text.compare(0, 3, kBomUtf8) == 0) return FileEncoding::Utf8;
  if (text.compare(0, 2, kBomUtf16LE) == 0) return FileEncoding::Utf16LE;
  if (text.compare(0, 2, kBomUtf16BE) == 0) return FileEncoding::Utf16BE;
  return FileEncoding::Ansi;
}

std::string Encode(const std::string& cp1252, FileEncoding e) {
  switch (e) {
    case FileEncoding::Utf8: return Cp1252ToUtf8(cp1252);
    case FileEncoding::Utf16LE: return Utf8ToUtf16(Cp1252ToUtf8(cp1252), false);
    case FileEncoding::Utf16BE: return Utf8ToUtf16(Cp1252ToUtf8(cp1252), true);
    default: return cp1252;
  }
}

const std::string& LineBreak(FileEncoding e) {
  static const std::string crlf = "\r\n";
  static const std::string le = std::string("\r\0\n\0", 4);
  static const std::string be = std::string("\0\r\0\n", 4);
  return e == FileEncoding::Utf16LE ? le : e == FileEncoding::Utf16BE ? be : crlf;
}

void SplitLines(const std::string& text, FileEncoding e, std::vector<std::string>& out) {
  const size_t unit = IsUtf16(e) ? 2 : 1;
  const size_t n = text.size() / unit * unit;  // a dangling odd byte is no character
  auto at = [&](size_t i) -> unsigned {
    if (unit == 1) return static_cast<unsigned char>(text[i]);
    const auto a = static_cast<unsigned char>(text[i]);
    const auto b = static_cast<unsigned char>(text[i + 1]);
    return e == FileEncoding::Utf16BE ? (a << 8 | b) : (b << 8 | a);
  };
  size_t start = 0;
  for (size_t i = 0; i < n; i += unit) {
    const unsigned c = at(i);
    if (c == '\r' || c == '\n') {
      out.push_back(text.substr(start, i - start));
      if (c == '\r' && i + unit < n && at(i + unit) == '\n') i += unit;
      start = i + unit;
    }
  }
  if (start < n) out.push_back(text.substr(start, n - start));
}

bool HasLineBreak(const std::string& line, FileEncoding e) {
  if (!IsUtf16(e)) return line.find_first_of("\r\n") != std::string::npos;
  for (size_t i = 0; i + 1 < line.size(); i += 2) {
    const char hi = e == FileEncoding::Utf16BE ? line[i] : line[i + 1];
    const char lo = e == FileEncoding::Utf16BE ? line[i + 1] : line[i];
    if (hi == 0 && (lo == '\r' || lo == '\n')) return true;
  }
  return false;
}

FileIdentity FileIdentity::Of(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

bool FileIdentity::operator==(const FileIdentity& o) const {
  return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
         mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
}

bool ReadAll(int fd, std::string& out) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out.append(buf, static_cast<size_t>(n));
  }
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

namespace {

bool NoSpace(int e) { return e == ENOSPC || e == EDQUOT; }

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

bool WriteFileBytes(const std::string& file, const std::string& data, int& err) {
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

std::string GenerationName(const std::string& file, int n) {
  const size_t slash = file.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = file.rfind('.');
  std::string number(1, '.');
  number += std::to_string(n);
  // A leading dot (".log") is part of the name, not an extension.
  if (dot == std::string::npos || dot <= nameStart) return file + number;
  return file.substr(0, dot) + number + file.substr(dot);
}

bool RotateFile(const std::string& file, int generations, int& err) {
  if (generations <= 0) return true;
  struct stat st{};
  if (::lstat(file.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    err = errno;
    return false;
  }
  // Only the unbroken run .1, .2 ... moves up; a gap takes the shift.
  int run = 0;
  struct stat gst{};
  while (run < generations - 1 && ::lstat(GenerationName(file, run + 1).c_str(), &gst) == 0) ++run;
  for (int k = run; k >= 1; --k) {
    if (::rename(GenerationName(file, k).c_str(), GenerationName(file, k + 1).c_str()) != 0) {
      err = errno;
      return false;
    }
  }
  const std::string first = GenerationName(file, 1);
  if (!S_ISLNK(st.st_mode)) {
    if (::rename(file.c_str(), first.c_str()) == 0) return true;
    err = errno;
    return false;
  }
  // A symbolic link was set up on purpose: it stays, and its target's text is copied.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return errno == ENOENT;  // a dangling link holds nothing
  }
  std::string text;
  const bool ok = ReadAll(fd, text);
  if (!ok) err = errno;
  ::close(fd);
  return ok && WriteFileBytes(first, text, err);
}

}  // namespace logfile
