#include "log/LogFile.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

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

bool WriteFileBytes(const std::string& file, const std::string& data, int& err) {
  struct stat old{};
  const bool exists = ::lstat(file.c_str(), &old) == 0;
  if (!exists || S_ISREG(old.st_mode)) {
    const std::string tmp = file + ".kvtmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      bool ok = WriteAll(fd, data);
      if (ok && exists) ::fchmod(fd, old.st_mode & 07777);
      ok = (::close(fd) == 0) && ok;
      if (ok && ::rename(tmp.c_str(), file.c_str()) == 0) return true;
      err = errno;
      ::unlink(tmp.c_str());
      if (!exists) return false;
    }
  }
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && WriteAll(fd, data);
  if (!ok) err = errno;
  if (fd >= 0 && ::close(fd) != 0 && ok) {
    err = errno;
    ok = false;
  }
  return ok;
}

}  // namespace logfile
