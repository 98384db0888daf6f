#include "db/DbTestSupport.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

namespace dbtest {

std::string ParseSysdbaPassword(const std::string& fileText) {
  size_t pos = 0;
  while (pos < fileText.size()) {
    size_t end = fileText.find('\n', pos);
    if (end == std::string::npos) end = fileText.size();
    std::string line = fileText.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string key = "ISC_PASSWORD=";
    if (line.rfind(key, 0) != 0) continue;
    std::string v = line.substr(key.size());
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
    return v;
  }
  return {};
}

TMyDBInfo ThroughServer(const TMyDBInfo& embedded, const std::string& folder) {
  TMyDBInfo info = embedded;
  const char* server = std::getenv("KV_FB_SERVER");
  if (!server || !*server) {
    info.server.clear();
    return info;
  }
  info.server = server;
  info.user = "SYSDBA";
  const char* pwFile = std::getenv("KV_FB_PASSWORD_FILE");
  info.password = ParseSysdbaPassword(kvtest::ReadFile(pwFile ? pwFile : "/etc/firebird/3.0/SYSDBA.password"));
  // The server runs as its own user: it must reach the folder and write the file.
  ::chmod(folder.c_str(), 0777);
  ::chmod(embedded.database.c_str(), 0666);
  return info;
}

}  // namespace dbtest
