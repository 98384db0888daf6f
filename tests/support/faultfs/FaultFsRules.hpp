#pragma once
// The rules of the file-system fault injection (FaultFs.cpp tells their
// grammar): the control file, and what a call under a rule's path bears.
#include <dlfcn.h>

#include <string>

namespace faultfs {

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

// The next definition of a C library function, past this library.
template <typename F>
F Real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// True when KV_FAULTFS_CONTROL names a control file.
bool Enabled();
// True when a rule in force concerns op (the control file re-read when due).
bool AnyFor(unsigned op);
// Applies the rules for op to the paths: sleeps, waits while blocked, or
// answers the errno the call must fail with (0: go on).
int Apply(unsigned op, const std::string& a, const std::string& b = {});
// A descriptor's path (from /proc/self/fd); "" when it has none.
std::string FdPath(int fd);
// path as a full path: relative ones from the working folder or dirfd's.
std::string FullPath(int dirfd, const char* path);

}  // namespace faultfs
