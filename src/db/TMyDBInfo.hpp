#pragma once
#include <string>

// Connection settings of the LIS database.
struct TMyDBInfo {
  std::string server;
  std::string database;
  std::string user;
  std::string password;
  // Seconds an attach may take before it fails (0: the client library's own limit).
  int connectTimeoutSeconds = 0;
};
