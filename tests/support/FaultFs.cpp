#include "support/FaultFs.hpp"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "support/TestSupport.hpp"

namespace kvtest {

FaultFs::FaultFs(std::string control) : control_(std::move(control)) { Set("off\n"); }

std::string FaultFs::Library() { return std::string(KV_BINARY_DIR) + "/libkv_faultfs.so"; }

std::string FaultFs::ShellEnvironment() const {
  // A sanitized program wants its runtime first; the library may come after it.
  return "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\" LD_PRELOAD=" + Library() +
         " KV_FAULTFS_CONTROL=" + control_;
}

std::vector<std::string> FaultFs::Environment() const {
  const char* asan = std::getenv("ASAN_OPTIONS");
  return {"LD_PRELOAD=" + Library(), "KV_FAULTFS_CONTROL=" + control_,
          "ASAN_OPTIONS=" + std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0"};
}

void FaultFs::Set(const std::string& rules) {
  // Through a new file and a rename: the library sees another file at once,
  // whatever the time stamps' resolution.
  const std::string temp = control_ + ".new";
  WriteFile(temp, rules);
  if (std::rename(temp.c_str(), control_.c_str()) != 0) throw std::runtime_error("cannot write " + control_);
  // The library looks at the file at most once a millisecond.
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
}

}  // namespace kvtest
