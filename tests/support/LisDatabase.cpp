// Placeholder until the database concern is built; replaced wholesale by its owner.
#include "support/LisDatabase.hpp"

#include <stdexcept>

namespace kvtest {
TMyDBInfo CreateLisDatabase(const std::string&, const std::string&) {
  throw std::runtime_error("CreateLisDatabase not built yet");
}
void RunSqlScript(const TMyDBInfo&, const std::string&) {
  throw std::runtime_error("RunSqlScript not built yet");
}
}  // namespace kvtest
