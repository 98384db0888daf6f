// Runs file-system steps the way the service makes them (through the
// util/FileSystem seam), one argument each, and prints one line per step:
// "<step> ok <ms>" or "<step> <errno name> <ms>". The fault-injection tests
// run it with the library preloaded.
//
//   faultfs_probe new:/d/f flushdir:/d list:/d mkdir:/d/s rm:/d/f mv:/d/a:/d/b
//                 stat:/d/f read:/d/f append:/d/j openat:/d:name
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "util/FileSystem.hpp"

namespace {

std::vector<std::string> Split(const std::string& arg) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t colon = arg.find(':', start);
    parts.push_back(arg.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

// Answers 0 or the errno of the step.
int Step(const std::vector<std::string>& p) {
  const std::string& op = p[0];
  const std::string a = p.size() > 1 ? p[1] : "";
  const std::string b = p.size() > 2 ? p[2] : "";
  int err = 0;
  if (op == "new") return fsys::WriteNewFile(a, "x\r\n", true, err) == fsys::NewFileStep::None ? 0 : err;
  if (op == "flushdir") return fsys::FlushFolder(a, err) ? 0 : err;
  if (op == "mkdir") return fsys::MakeFolder(a, 0777, err) ? 0 : err;
  if (op == "rm") return fsys::RemoveFile(a, err) ? 0 : err;
  if (op == "mv") return fsys::RenameFile(a, b, err) ? 0 : err;
  if (op == "read") {
    std::string out;
    return fsys::ReadWholeFile(a, out, err) ? 0 : err;
  }
  if (op == "stat") {
    fsys::FileInfo info;
    return fsys::Stat(a, info, true, err) ? 0 : err;
  }
  if (op == "list") {
    DIR* d = ::opendir(a.c_str());
    if (!d) return errno;
    errno = 0;
    while (::readdir(d)) {
    }
    const int e = errno;
    ::closedir(d);
    return e;
  }
  if (op == "append") {
    const int fd = ::open(a.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    int e = 0;
    if (::write(fd, "x\n", 2) != 2) e = errno;
    if (!e && ::fdatasync(fd) != 0) e = errno;
    ::close(fd);
    return e;
  }
  if (op == "openat") {
    const int dir = ::open(a.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return errno;
    const int fd = ::openat(dir, b.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int e = fd < 0 ? errno : 0;
    if (fd >= 0) ::close(fd);
    ::close(dir);
    return e;
  }
  return EINVAL;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::vector<std::string> parts = Split(argv[i]);
    const auto t0 = std::chrono::steady_clock::now();
    const int e = Step(parts);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    const char* name = e ? strerrorname_np(e) : "ok";
    std::printf("%s %s %.1f\n", parts[0].c_str(), name ? name : "?", ms);
    std::fflush(stdout);
  }
  return 0;
}
