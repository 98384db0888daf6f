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

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

enum Op : unsigned {
  kOpen = 1u << 0,
  kWrite = 1u << 1,
  kFsync = 1u << 2,
  kRename = 1u << 3,
  kMkdir = 1u << 4,
  kUnlink = 1u << 5,
  kReaddir = 1u << 6,
  kStat = 1u << 7,
  kAll = 0xFFu,
};

enum class Action { Delay, Block, Fail };

struct Rule {
  Action action = Action::Delay;
  unsigned ops = 0;
  long long delayNs = 0;
  int error = 0;
  std::string prefix;
};

template <typename F>
F Real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The real calls the rules are read with.
int RealOpen(const char* path, int flags) {
  static auto f = Real<int (*)(const char*, int, ...)>("open");
  return f(path, flags);
}
int RealStat(const char* path, struct stat* st) {
  static auto f = Real<int (*)(const char*, struct stat*)>("stat");
  return f(path, st);
}

long long MonotonicNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

void SleepNs(long long ns) {
  timespec t{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

unsigned ParseOps(const std::string& word) {
  unsigned ops = 0;
  size_t start = 0;
  while (start <= word.size()) {
    const size_t comma = word.find(',', start);
    const std::string op = word.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (op == "open") ops |= kOpen;
    else if (op == "write") ops |= kWrite;
    else if (op == "fsync") ops |= kFsync;
    else if (op == "rename") ops |= kRename;
    else if (op == "mkdir") ops |= kMkdir;
    else if (op == "unlink") ops |= kUnlink;
    else if (op == "readdir") ops |= kReaddir;
    else if (op == "stat") ops |= kStat;
    else if (op == "all") ops |= kAll;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return ops;
}

long long ParseDuration(const std::string& word) {
  char* end = nullptr;
  const double n = std::strtod(word.c_str(), &end);
  const std::string unit = end ? end : "";
  if (unit == "us") return static_cast<long long>(n * 1e3);
  if (unit == "s") return static_cast<long long>(n * 1e9);
  return static_cast<long long>(n * 1e6);  // ms
}

int ParseErrno(const std::string& word) {
  static const struct {
    const char* name;
    int value;
  } kNames[] = {{"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EACCES", EACCES}, {"EROFS", EROFS},
                {"EDQUOT", EDQUOT}, {"ENOENT", ENOENT}, {"EPERM", EPERM},   {"EAGAIN", EAGAIN}};
  for (const auto& n : kNames)
    if (word == n.name) return n.value;
  const int v = std::atoi(word.c_str());
  return v > 0 ? v : EIO;
}

std::vector<Rule> ParseRules(const std::string& text) {
  std::vector<Rule> rules;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::vector<std::string> words;
    std::string w;
    for (size_t i = pos; i <= nl; ++i) {
      const char c = i < nl ? text[i] : ' ';
      if (c == ' ' || c == '\t' || c == '\r') {
        if (!w.empty()) words.push_back(w);
        w.clear();
      } else {
        w += c;
      }
    }
    pos = nl + 1;
    if (words.empty() || words[0] == "off" || words[0][0] == '#') continue;
    Rule r;
    if (words[0] == "delay" && words.size() == 4) {
      r.action = Action::Delay;
      r.delayNs = ParseDuration(words[2]);
    } else if (words[0] == "block" && words.size() == 3) {
      r.action = Action::Block;
    } else if (words[0] == "fail" && words.size() == 4) {
      r.action = Action::Fail;
      r.error = ParseErrno(words[2]);
    } else {
      continue;
    }
    r.ops = ParseOps(words[1]);
    r.prefix = words.back();
    rules.push_back(r);
  }
  return rules;
}

// The rules in force, re-read from the control file when its identity,
// size or times changed (a test that writes the file through a rename
// always changes its identity).
class Control {
 public:
  Control() {
    const char* path = std::getenv("KV_FAULTFS_CONTROL");
    if (path && *path) path_ = path;
  }
  bool Enabled() const { return !path_.empty(); }

  // A copy of the rules for ops, read again when due.
  std::vector<Rule> RulesFor(unsigned op) {
    std::lock_guard<std::mutex> lock(mutex_);
    const long long now = MonotonicNs();
    if (now - checkedAt_ >= 1000000LL || checkedAt_ == 0) {
      checkedAt_ = now;
      Refresh();
    }
    std::vector<Rule> out;
    for (const Rule& r : rules_)
      if (r.ops & op) out.push_back(r);
    return out;
  }
  bool AnyFor(unsigned op) {
    std::lock_guard<std::mutex> lock(mutex_);
    const long long now = MonotonicNs();
    if (now - checkedAt_ >= 1000000LL || checkedAt_ == 0) {
      checkedAt_ = now;
      Refresh();
    }
    for (const Rule& r : rules_)
      if (r.ops & op) return true;
    return false;
  }

 private:
  void Refresh() {
    struct stat st {};
    if (RealStat(path_.c_str(), &st) != 0) {
      rules_.clear();
      seen_ = false;
      return;
    }
    if (seen_ && st.st_ino == stamp_.st_ino && st.st_size == stamp_.st_size &&
        st.st_mtim.tv_sec == stamp_.st_mtim.tv_sec && st.st_mtim.tv_nsec == stamp_.st_mtim.tv_nsec &&
        st.st_ctim.tv_sec == stamp_.st_ctim.tv_sec && st.st_ctim.tv_nsec == stamp_.st_ctim.tv_nsec)
      return;
    stamp_ = st;
    seen_ = true;
    std::string text;
    const int fd = RealOpen(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      char buf[4096];
      for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
          text.append(buf, static_cast<size_t>(n));
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
      }
      ::close(fd);
    }
    rules_ = ParseRules(text);
  }

  std::string path_;
  std::mutex mutex_;
  std::vector<Rule> rules_;
  struct stat stamp_ {};
  bool seen_ = false;
  long long checkedAt_ = 0;
};

Control& TheControl() {
  static Control* control = new Control();  // never destroyed: calls may come during exit
  return *control;
}

// Set while the library itself works, so that nothing it calls is checked again.
thread_local bool inside = false;

std::string FdPath(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char buf[4096];
  const ssize_t n = ::readlink(link, buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

std::string FullPath(int dirfd, const char* path) {
  if (!path) return {};
  if (path[0] == '/') return path;
  std::string base;
  if (dirfd == AT_FDCWD) {
    char buf[4096];
    if (::getcwd(buf, sizeof buf)) base = buf;
  } else {
    base = FdPath(dirfd);
  }
  return base + "/" + path;
}

bool Under(const std::string& path, const std::string& prefix) {
  return !path.empty() && path.compare(0, prefix.size(), prefix) == 0;
}

// Applies the rules for op to the paths: sleeps, waits while blocked, or
// answers the errno the call must fail with (0: go on).
int Apply(unsigned op, const std::string& a, const std::string& b = {}) {
  Control& control = TheControl();
  bool first = true;
  for (;;) {
    bool blocked = false;
    int error = 0;
    for (const Rule& r : control.RulesFor(op)) {
      if (!Under(a, r.prefix) && !Under(b, r.prefix)) continue;
      switch (r.action) {
        case Action::Delay:
          if (first) SleepNs(r.delayNs);
          break;
        case Action::Block:
          blocked = true;
          break;
        case Action::Fail:
          if (!error) error = r.error;
          break;
      }
    }
    first = false;
    if (!blocked) return error;
    SleepNs(1000000LL);
  }
}

// Runs check(paths) when the library is on and a rule concerns op; the
// paths are only worked out then. Answers the errno to fail with, or 0.
template <typename Paths>
int Check(unsigned op, Paths paths) {
  Control& control = TheControl();
  if (inside || !control.Enabled()) return 0;
  const int saved = errno;
  inside = true;
  int error = 0;
  if (control.AnyFor(op)) {
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
