// The rules of the file-system fault injection: the control file read and
// parsed, and what a call under a rule's prefix has to bear.
#include "FaultFsRules.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace faultfs {

namespace {

enum class Action { Delay, Block, Fail };

struct Rule {
  Action action = Action::Delay;
  unsigned ops = 0;
  long long delayNs = 0;
  int error = 0;
  std::string prefix;
};

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

bool Under(const std::string& path, const std::string& prefix) {
  return !path.empty() && path.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool Enabled() { return TheControl().Enabled(); }
bool AnyFor(unsigned op) { return TheControl().AnyFor(op); }

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

// Applies the rules for op to the paths: sleeps, waits while blocked, or
// answers the errno the call must fail with (0: go on).
int Apply(unsigned op, const std::string& a, const std::string& b) {
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

}  // namespace faultfs
