#include "archive/TArchiveWriter.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "util/Encoding.hpp"

namespace {

std::string SysPath(const std::string& cp1252) { return Cp1252ToUtf8(cp1252); }

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

std::string SysError(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + std::strerror(err);
}

}  // namespace

bool TFileArchiveWriter::IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(SysPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool TFileArchiveWriter::IsTakenByFile(const std::string& path) {
  struct stat st {};
  return ::lstat(SysPath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void TFileArchiveWriter::CreateFolder(const std::string& path) { ::mkdir(SysPath(path).c_str(), 0777); }

void TFileArchiveWriter::Save(const std::string& path, const std::string& conteudo) {
  const std::string destino = SysPath(path);

  // Written under a temporary name in the same folder and then given its
  // final name in one step, so the LIS never imports half a file.
  std::string temp = destino + ".XXXXXX.tmp";
  const int fd = ::mkstemps(temp.data(), 4);
  if (fd < 0) throw std::runtime_error(SysError("N\xe3o foi poss\xedvel criar", path, errno));
  auto descartar = [&](const std::string& what, int err) {
    ::unlink(temp.c_str());
    throw std::runtime_error(SysError(what, path, err));
  };

  size_t escritos = 0;
  while (escritos < conteudo.size()) {
    const ssize_t n = ::write(fd, conteudo.data() + escritos, conteudo.size() - escritos);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      descartar("N\xe3o foi poss\xedvel gravar", err);
    }
    escritos += static_cast<size_t>(n);
  }
  // mkstemps makes the file private; give it the mode an ordinary new file gets.
  ::fchmod(fd, 0666 & ~CurrentUmask());
  if (::fsync(fd) != 0) {
    const int err = errno;
    ::close(fd);
    descartar("N\xe3o foi poss\xedvel gravar", err);
  }
  if (::close(fd) != 0) descartar("N\xe3o foi poss\xedvel gravar", errno);

  // Never replaces a file: an archive of another message may carry that name.
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, destino.c_str(), RENAME_NOREPLACE) != 0) {
    const int err = errno;
    if (err != EINVAL && err != ENOSYS && err != ENOTSUP) descartar("N\xe3o foi poss\xedvel renomear para", err);
    // File systems without RENAME_NOREPLACE: a hard link fails as well when the name is taken.
    if (::link(temp.c_str(), destino.c_str()) != 0) descartar("N\xe3o foi poss\xedvel renomear para", errno);
    ::unlink(temp.c_str());
  }

  // Makes the new name itself durable.
  const std::string pasta = destino.substr(0, destino.rfind('/') + 1);
  const int dfd = ::open(pasta.empty() ? "." : pasta.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}
