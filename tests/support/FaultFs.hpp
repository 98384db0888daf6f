#pragma once
#include <string>
#include <vector>

namespace kvtest {

// The file-system fault injection (build/libkv_faultfs.so, tests/support/faultfs/)
// for a program a test starts: the environment that preloads it, and the
// control file the test switches while the program runs.
class FaultFs {
 public:
  // control: the control file, made empty (no rule) now.
  explicit FaultFs(std::string control);
  // The library built beside the test programs.
  static std::string Library();
  // "LD_PRELOAD=... KV_FAULTFS_CONTROL=..." (shell words, for a command line).
  std::string ShellEnvironment() const;
  // The same as environment entries ("NAME=value"), for ServiceProcess.
  std::vector<std::string> Environment() const;
  // Sets the rules (one a line, as FaultFs.cpp describes) and waits until a
  // running program is sure to have seen them.
  void Set(const std::string& rules);
  void Off() { Set("off\n"); }
  const std::string& Control() const { return control_; }

 private:
  std::string control_;
};

}  // namespace kvtest
