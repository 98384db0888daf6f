#pragma once
#include <sys/mount.h>

#include <string>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "support/TestSupport.hpp"

namespace statustest {

// The demo configuration for a service in `folder` (its database `folder`/lis.fdb),
// on a free analyzer port, with the status page on `statusPort`.
nlohmann::json DemoConfig(const std::string& folder, int statusPort);

struct Reply {
  int status = 0;  // 0: no answer
  std::string body;
};
// GET path on host:port, with extra headers.
Reply Get(const std::string& host, int port, const std::string& path, const httplib::Headers& headers = {});

// Runs a shell command; answers its exit status and, in *output, what it printed.
int Shell(const std::string& command, std::string* output = nullptr);
// True when the program is on PATH.
bool Have(const std::string& program);

// A folder bound onto itself read-only for a while (root ignores mode bits).
class ReadOnlyMount {
 public:
  ReadOnlyMount() = default;
  ReadOnlyMount(const ReadOnlyMount&) = delete;
  ReadOnlyMount& operator=(const ReadOnlyMount&) = delete;
  ~ReadOnlyMount() { Undo(); }
  // "" when done, else why not.
  std::string Make(const std::string& target);
  void Undo() {
    if (!target_.empty()) ::umount2(target_.c_str(), MNT_DETACH);
    target_.clear();
  }

 private:
  std::string target_;
};

}  // namespace statustest
