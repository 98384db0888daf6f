#pragma once
#include <string>

// Connection settings of the LIS database.
struct TMyDBInfo {
  std::string server;
  std::string database;
  std::string user;
  std::string password;
};
