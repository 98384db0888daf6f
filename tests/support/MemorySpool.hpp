#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "archive/TSpoolStore.hpp"

namespace kvtest {

// A spool in memory with the file store's rules: keys in the order of Put,
// Put and Remove throw std::runtime_error while `failWith` names a reason.
class MemorySpool : public TSpoolStore {
 public:
  std::string Put(const TArchiveEntry& entry) override;
  void Remove(const std::string& key) override;
  std::vector<std::pair<std::string, TArchiveEntry>> Load(std::vector<std::string>* problems) override;

  size_t Size() const { return entries_.size(); }
  std::string failWith;  // "" : works

 private:
  std::map<std::string, TArchiveEntry> entries_;
  unsigned long next_ = 0;
};

}  // namespace kvtest
