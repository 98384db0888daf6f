#include "support/MemorySpool.hpp"

#include <cstdio>
#include <stdexcept>

namespace kvtest {

std::string MemorySpool::Put(const TArchiveEntry& entry) {
  if (!failWith.empty()) throw std::runtime_error("N\xe3o foi poss\xedvel gravar na fila /spool/x.entry: " + failWith);
  char key[32];
  std::snprintf(key, sizeof key, "%020lu.entry", next_++);
  entries_[key] = entry;
  return key;
}

void MemorySpool::Remove(const std::string& key) {
  if (!failWith.empty()) throw std::runtime_error("N\xe3o foi poss\xedvel remover da fila /spool/" + key + ": " + failWith);
  entries_.erase(key);
}

std::vector<std::pair<std::string, TArchiveEntry>> MemorySpool::Load(std::vector<std::string>*) {
  return {entries_.begin(), entries_.end()};
}

}  // namespace kvtest
