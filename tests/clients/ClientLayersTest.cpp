// The files of clients/ call downwards only, in the order TSocketClient.hpp
// states: a file includes only the headers of files below it, so no owner
// can call back up (and no two calls can run in a circle).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>

namespace {

// Rank of each file's name (header and source alike), the facade first.
const std::map<std::string, int> kOrder = {
    {"TSocketClient", 0},
    {"TReception", 1},
    {"TAstmHandler", 2}, {"THl7Handler", 2}, {"TJsonHandler", 2},
    {"TQueryFlow", 3},
    {"TBlocks", 4},
    {"TIdentification", 5},
    {"TArchiveHandOver", 6},
    {"TClientPorts", 7},
    {"TReceptionStates", 8}, {"TClientFields", 8}, {"TClientContext", 8}, {"TClientEvents", 8},
    {"TInputBuffer", 9},
};

TEST(ClientLayers, EveryFileIncludesOnlyFilesBelowIt) {
  const std::filesystem::path dir = std::filesystem::path(KV_TESTDATA_DIR) / ".." / ".." / "src" / "clients";
  const std::regex include(R"re(#include "clients/(\w+)\.hpp")re");
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().stem().string();
    const auto rank = kOrder.find(name);
    ASSERT_NE(rank, kOrder.end()) << entry.path() << " has no place in the order";
    ++files;
    std::ifstream in(entry.path());
    std::string line;
    while (std::getline(in, line)) {
      std::smatch m;
      if (!std::regex_search(line, m, include) || m[1] == name) continue;
      const auto below = kOrder.find(m[1]);
      ASSERT_NE(below, kOrder.end()) << entry.path() << ": " << line;
      EXPECT_GT(below->second, rank->second) << entry.path().filename() << " includes " << m[1] << ", not below it";
    }
  }
  EXPECT_GE(files, kOrder.size() + 8);  // the sources beside the headers
}

}  // namespace
