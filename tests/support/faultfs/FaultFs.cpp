// Fault injection for the file system: loaded with LD_PRELOAD into a process
// under test, it slows, blocks or fails the file-system calls that touch a
// path under a prefix. The test steers it through a control file named by
// KV_FAULTFS_CONTROL, one rule a line, re-read when the file changes:
//
//   delay <ops> <duration> <prefix>    delay fsync 10ms /var/tmp/run
//   block <ops> <prefix>               block all /var/tmp/run/saida
//   fail <ops> <errno> <prefix>        fail write ENOSPC /var/tmp/run/spool
//   off                                (or an empty or missing file)
//
// ops: a comma-separated list of open, write, fsync, rename, mkdir, unlink,
// readdir, stat, or all. A duration is a number with us, ms or s. A blocked
// call waits until no rule blocks it any more and then goes on. A path
// matches when it begins with the prefix; a relative path is taken from the
// working folder (or the *at call's folder), a descriptor's path from
// /proc/self/fd. A call is checked against the control file at most once a
// millisecond, so a test that changes the rules waits 2 ms before it counts
// on them (tests/support/FaultFs.hpp does).
//
// With KV_FAULTFS_CONTROL unset every call goes straight through.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FaultFsRules.hpp"

namespace {

using namespace faultfs;

// Set while the library itself works, so that nothing it calls is checked again.
thread_local bool inside __attribute__((tls_model("initial-exec"))) = false;

// Runs check(paths) when the library is on and a rule concerns op; the
// paths are only worked out then. Answers the errno to fail with, or 0.
template <typename Paths>
int Check(unsigned op, Paths paths) {
  if (inside || !Enabled()) return 0;
  const int saved = errno;
  inside = true;
  int error = 0;
  if (AnyFor(op)) {
    const std::pair<std::string, std::string> p = paths();
    error = Apply(op, p.first, p.second);
  }
  inside = false;
  errno = saved;
  return error;
}

int PathCheck(unsigned op, int dirfd, const char* path) {
  return Check(op, [&] { return std::pair<std::string, std::string>(FullPath(dirfd, path), {}); });
}
int FdCheck(unsigned op, int fd) {
  return Check(op, [&] { return std::pair<std::string, std::string>(FdPath(fd), {}); });
}
int TwoPathCheck(unsigned op, int fromfd, const char* from, int tofd, const char* to) {
  return Check(op, [&] { return std::pair<std::string, std::string>(FullPath(fromfd, from), FullPath(tofd, to)); });
}

bool OpenHasMode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

#define FAIL_WITH(e) \
  do {               \
    errno = (e);     \
    return -1;       \
  } while (0)

}  // namespace

extern "C" {

// --- open --------------------------------------------------------------------
#define KV_OPEN(NAME)                                                     \
  int NAME(const char* path, int flags, ...) {                            \
    static auto real = Real<int (*)(const char*, int, ...)>(#NAME);       \
    mode_t mode = 0;                                                      \
    if (OpenHasMode(flags)) {                                             \
      va_list ap;                                                         \
      va_start(ap, flags);                                                \
      mode = static_cast<mode_t>(va_arg(ap, int));                        \
      va_end(ap);                                                         \
    }                                                                     \
    if (const int e = PathCheck(kOpen, AT_FDCWD, path)) FAIL_WITH(e);     \
    return real(path, flags, mode);                                       \
  }
KV_OPEN(open)
KV_OPEN(open64)

#define KV_OPENAT(NAME)                                                   \
  int NAME(int dirfd, const char* path, int flags, ...) {                 \
    static auto real = Real<int (*)(int, const char*, int, ...)>(#NAME);  \
    mode_t mode = 0;                                                      \
    if (OpenHasMode(flags)) {                                             \
      va_list ap;                                                         \
      va_start(ap, flags);                                                \
      mode = static_cast<mode_t>(va_arg(ap, int));                        \
      va_end(ap);                                                         \
    }                                                                     \
    if (const int e = PathCheck(kOpen, dirfd, path)) FAIL_WITH(e);        \
    return real(dirfd, path, flags, mode);                                \
  }
KV_OPENAT(openat)
KV_OPENAT(openat64)

int creat(const char* path, mode_t mode) {
  static auto real = Real<int (*)(const char*, mode_t)>("creat");
  if (const int e = PathCheck(kOpen, AT_FDCWD, path)) FAIL_WITH(e);
  return real(path, mode);
}

// mkstemp and its kin open inside the C library, out of reach of open above.
int mkstemps(char* tmpl, int suffixlen) {
  static auto real = Real<int (*)(char*, int)>("mkstemps");
  if (const int e = PathCheck(kOpen, AT_FDCWD, tmpl)) FAIL_WITH(e);
  return real(tmpl, suffixlen);
}
int mkstemp(char* tmpl) {
  static auto real = Real<int (*)(char*)>("mkstemp");
  if (const int e = PathCheck(kOpen, AT_FDCWD, tmpl)) FAIL_WITH(e);
  return real(tmpl);
}
int mkostemps(char* tmpl, int suffixlen, int flags) {
  static auto real = Real<int (*)(char*, int, int)>("mkostemps");
  if (const int e = PathCheck(kOpen, AT_FDCWD, tmpl)) FAIL_WITH(e);
  return real(tmpl, suffixlen, flags);
}

// --- write -------------------------------------------------------------------
ssize_t write(int fd, const void* buf, size_t n) {
  static auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
  if (const int e = FdCheck(kWrite, fd)) FAIL_WITH(e);
  return real(fd, buf, n);
}
ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
  static auto real = Real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  if (const int e = FdCheck(kWrite, fd)) FAIL_WITH(e);
  return real(fd, buf, n, off);
}
ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t off) {
  static auto real = Real<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  if (const int e = FdCheck(kWrite, fd)) FAIL_WITH(e);
  return real(fd, buf, n, off);
}
ssize_t writev(int fd, const struct iovec* iov, int count) {
  static auto real = Real<ssize_t (*)(int, const struct iovec*, int)>("writev");
  if (const int e = FdCheck(kWrite, fd)) FAIL_WITH(e);
  return real(fd, iov, count);
}

// --- fsync -------------------------------------------------------------------
int fsync(int fd) {
  static auto real = Real<int (*)(int)>("fsync");
  if (const int e = FdCheck(kFsync, fd)) FAIL_WITH(e);
  return real(fd);
}
int fdatasync(int fd) {
  static auto real = Real<int (*)(int)>("fdatasync");
  if (const int e = FdCheck(kFsync, fd)) FAIL_WITH(e);
  return real(fd);
}

// --- rename and link -----------------------------------------------------------
int rename(const char* from, const char* to) {
  static auto real = Real<int (*)(const char*, const char*)>("rename");
  if (const int e = TwoPathCheck(kRename, AT_FDCWD, from, AT_FDCWD, to)) FAIL_WITH(e);
  return real(from, to);
}
int renameat(int fromfd, const char* from, int tofd, const char* to) {
  static auto real = Real<int (*)(int, const char*, int, const char*)>("renameat");
  if (const int e = TwoPathCheck(kRename, fromfd, from, tofd, to)) FAIL_WITH(e);
  return real(fromfd, from, tofd, to);
}
int renameat2(int fromfd, const char* from, int tofd, const char* to, unsigned flags) {
  static auto real = Real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
  if (const int e = TwoPathCheck(kRename, fromfd, from, tofd, to)) FAIL_WITH(e);
  return real(fromfd, from, tofd, to, flags);
}
int link(const char* from, const char* to) {
  static auto real = Real<int (*)(const char*, const char*)>("link");
  if (const int e = TwoPathCheck(kRename, AT_FDCWD, from, AT_FDCWD, to)) FAIL_WITH(e);
  return real(from, to);
}
int linkat(int fromfd, const char* from, int tofd, const char* to, int flags) {
  static auto real = Real<int (*)(int, const char*, int, const char*, int)>("linkat");
  if (const int e = TwoPathCheck(kRename, fromfd, from, tofd, to)) FAIL_WITH(e);
  return real(fromfd, from, tofd, to, flags);
}

// --- mkdir -------------------------------------------------------------------
int mkdir(const char* path, mode_t mode) {
  static auto real = Real<int (*)(const char*, mode_t)>("mkdir");
  if (const int e = PathCheck(kMkdir, AT_FDCWD, path)) FAIL_WITH(e);
  return real(path, mode);
}
int mkdirat(int dirfd, const char* path, mode_t mode) {
  static auto real = Real<int (*)(int, const char*, mode_t)>("mkdirat");
  if (const int e = PathCheck(kMkdir, dirfd, path)) FAIL_WITH(e);
  return real(dirfd, path, mode);
}

// --- unlink ------------------------------------------------------------------
int unlink(const char* path) {
  static auto real = Real<int (*)(const char*)>("unlink");
  if (const int e = PathCheck(kUnlink, AT_FDCWD, path)) FAIL_WITH(e);
  return real(path);
}
int unlinkat(int dirfd, const char* path, int flags) {
  static auto real = Real<int (*)(int, const char*, int)>("unlinkat");
  if (const int e = PathCheck(kUnlink, dirfd, path)) FAIL_WITH(e);
  return real(dirfd, path, flags);
}
int rmdir(const char* path) {
  static auto real = Real<int (*)(const char*)>("rmdir");
  if (const int e = PathCheck(kUnlink, AT_FDCWD, path)) FAIL_WITH(e);
  return real(path);
}
int remove(const char* path) {
  static auto real = Real<int (*)(const char*)>("remove");
  if (const int e = PathCheck(kUnlink, AT_FDCWD, path)) FAIL_WITH(e);
  return real(path);
}

// --- readdir -------------------------------------------------------------------
DIR* opendir(const char* path) {
  static auto real = Real<DIR* (*)(const char*)>("opendir");
  if (const int e = PathCheck(kReaddir, AT_FDCWD, path)) {
    errno = e;
    return nullptr;
  }
  return real(path);
}
DIR* fdopendir(int fd) {
  static auto real = Real<DIR* (*)(int)>("fdopendir");
  if (const int e = FdCheck(kReaddir, fd)) {
    errno = e;
    return nullptr;
  }
  return real(fd);
}
struct dirent* readdir(DIR* d) {
  static auto real = Real<struct dirent* (*)(DIR*)>("readdir");
  if (const int e = FdCheck(kReaddir, ::dirfd(d))) {
    errno = e;
    return nullptr;
  }
  return real(d);
}
struct dirent64* readdir64(DIR* d) {
  static auto real = Real<struct dirent64* (*)(DIR*)>("readdir64");
  if (const int e = FdCheck(kReaddir, ::dirfd(d))) {
    errno = e;
    return nullptr;
  }
  return real(d);
}

// --- stat ----------------------------------------------------------------------
#define KV_STAT(NAME, STRUCT)                                          \
  int NAME(const char* path, struct STRUCT* st) {                      \
    static auto real = Real<int (*)(const char*, struct STRUCT*)>(#NAME); \
    if (const int e = PathCheck(kStat, AT_FDCWD, path)) FAIL_WITH(e);  \
    return real(path, st);                                             \
  }
KV_STAT(stat, stat)
KV_STAT(lstat, stat)
KV_STAT(stat64, stat64)
KV_STAT(lstat64, stat64)

int fstatat(int dirfd, const char* path, struct stat* st, int flags) {
  static auto real = Real<int (*)(int, const char*, struct stat*, int)>("fstatat");
  if (const int e = PathCheck(kStat, dirfd, path)) FAIL_WITH(e);
  return real(dirfd, path, st, flags);
}
int fstatat64(int dirfd, const char* path, struct stat64* st, int flags) {
  static auto real = Real<int (*)(int, const char*, struct stat64*, int)>("fstatat64");
  if (const int e = PathCheck(kStat, dirfd, path)) FAIL_WITH(e);
  return real(dirfd, path, st, flags);
}
int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* st) {
  static auto real = Real<int (*)(int, const char*, int, unsigned, struct statx*)>("statx");
  if (const int e = PathCheck(kStat, dirfd, path)) FAIL_WITH(e);
  return real(dirfd, path, flags, mask, st);
}
int access(const char* path, int mode) {
  static auto real = Real<int (*)(const char*, int)>("access");
  if (const int e = PathCheck(kStat, AT_FDCWD, path)) FAIL_WITH(e);
  return real(path, mode);
}
int statvfs(const char* path, struct statvfs* st) {
  static auto real = Real<int (*)(const char*, struct statvfs*)>("statvfs");
  if (const int e = PathCheck(kStat, AT_FDCWD, path)) FAIL_WITH(e);
  return real(path, st);
}

}  // extern "C"
