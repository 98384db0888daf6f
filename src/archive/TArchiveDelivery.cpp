#include "archive/TArchiveDelivery.hpp"

#include <set>
#include <stdexcept>
#include <tuple>
#include <string_view>

#include "log/TLogSink.hpp"
#include "util/FileSystem.hpp"

namespace {

// The kind of a failure: its reason without the path of the message it struck
// ("... <path>: No space left on device" gives "No space left on device").
std::string KindOf(const std::string& what) {
  const size_t colon = what.rfind(": ");
  return colon == std::string::npos ? what : what.substr(colon + 2);
}

std::string Parent(const std::string& folder) {
  std::string p = folder;
  const std::string_view separators = fsys::PATH_SEPARATORS;
  while (p.size() > 1 && separators.find(p.back()) != std::string_view::npos) p.pop_back();
  const size_t slash = p.find_last_of(fsys::PATH_SEPARATORS);
  if (slash == std::string::npos) return {};
  return p.substr(0, slash + 1);
}

}  // namespace

TArchiveDelivery::TArchiveDelivery(TArchiveWriter& archive, TSpoolStore* spool, TLogSink* log)
    : archive_(archive), spool_(spool), log_(log) {}

void TArchiveDelivery::Log(const std::string& txt) const {
  if (log_) log_->make(txt);
}

void TArchiveDelivery::LogOnce(std::string& last, const std::string& kind, const std::string& line) const {
  if (kind == last) return;
  last = kind;
  Log(line);
}

void TArchiveDelivery::EnsureOutputFolder(const std::string& pasta) {
  if (pasta.empty() || archive_.IsDirectory(pasta)) return;
  // Gone (deleted, an unmounted disk): made again with its parents, from the top down.
  std::deque<std::string> faltam;
  for (std::string p = pasta; !p.empty() && p != "/" && !archive_.IsDirectory(p); p = Parent(p)) faltam.push_front(p);
  for (const auto& p : faltam) archive_.CreateFolder(p);
  if (archive_.IsDirectory(pasta)) Log("Pasta destino de arquivos criada de novo: " + pasta);
}

void TArchiveDelivery::Deliver(TItem& item) {
  if (!item.entregue) {
    if (spool_) EnsureOutputFolder(item.entry.pastaSaida);
    const std::string path = ArchivePathFor(archive_, item.entry, [&](const std::string& nota) {
      if (!item.nomeAvisado) Log(nota);
    });
    item.nomeAvisado = true;
    archive_.Save(path, protocol::LinesText(item.entry.linhas));
    item.entregue = true;
    Log("Item salvo em " + path);
    lastDeliveryKind_.clear();
    if (onDelivered) onDelivered(item.entry, path);
  }
  if (spool_ && !item.key.empty()) {
    try {
      spool_->Remove(item.key);
      lastRemoveKind_.clear();
    } catch (const std::exception& e) {
      // The archive file is there; the entry is only kept from being delivered twice.
      LogOnce(lastRemoveKind_, KindOf(e.what()), ErrorLine("TArchiveDelivery.Remove", e.what()));
      throw;
    }
  }
}

void TArchiveDelivery::DeliverOrigin(const std::string* origem) {
  std::set<std::string> bloqueadas;
  for (auto it = queue_.begin(); it != queue_.end();) {
    TItem& item = *it;
    if ((origem && item.entry.origem != *origem) || bloqueadas.count(item.entry.origem)) {
      ++it;
      continue;
    }
    if (spool_ && item.key.empty() && !item.entregue) {
      // Held in memory only: into the spool as soon as it takes it again.
      try {
        item.key = spool_->Put(item.entry);
        lastSpoolKind_.clear();
      } catch (const std::exception&) {
      }
    }
    try {
      Deliver(item);
      it = queue_.erase(it);
    } catch (const std::exception& e) {
      if (item.entregue) {
        // Archived: later messages need not wait for the spool entry's removal.
        ++it;
        continue;
      }
      {
        LogOnce(lastDeliveryKind_, KindOf(e.what()),
                "N\xE3o foi poss\xEDvel entregar o item na pasta destino: " + std::string(e.what()) +
                    (item.key.empty() ? std::string("; ele fica na mem\xF3ria") : "; ele fica na fila spool/") +
                    " e ser\xE1 entregue assim que poss\xEDvel");
      }
      bloqueadas.insert(item.entry.origem);
      ++it;
    }
  }
}

void TArchiveDelivery::Accept(const TArchiveEntry& entry, TWhenSpoolFails whenSpoolFails) {
  if (!spool_) {
    // Straight through: the write throws, and the caller reports it.
    TItem item;
    item.entry = entry;
    Deliver(item);
    return;
  }
  TItem item;
  item.entry = entry;
  try {
    item.key = spool_->Put(entry);
    lastSpoolKind_.clear();
  } catch (const std::exception& e) {
    if (whenSpoolFails == TWhenSpoolFails::Refuse) throw;
    LogOnce(lastSpoolKind_, KindOf(e.what()),
            "N\xE3o foi poss\xEDvel guardar o item na fila spool/: " + std::string(e.what()) +
                "; ele fica na mem\xF3ria at\xE9 ser entregue");
  }
  queue_.push_back(std::move(item));
  DeliverOrigin(&entry.origem);
}

void TArchiveDelivery::LoadSpool() {
  if (!spool_) return;
  std::vector<std::string> problemas;
  auto itens = spool_->Load(&problemas);
  for (const auto& p : problemas) Log(p);
  if (!itens.empty()) Log("Fila spool/: " + std::to_string(itens.size()) + " item(ns) a entregar");
  for (auto& [key, entry] : itens) {
    TItem item;
    item.entry = std::move(entry);
    item.key = key;
    queue_.push_back(std::move(item));
  }
}

size_t TArchiveDelivery::DeliverPending() {
  DeliverOrigin(nullptr);
  return queue_.size();
}

std::optional<TDateTime> TArchiveDelivery::OldestPending() const {
  if (queue_.empty()) return std::nullopt;
  // Completion times of different origins interleave; the oldest is the smallest.
  auto key = [](const TDateTime& t) {
    return std::tuple(t.year, t.month, t.day, t.hour, t.minute, t.second, t.msec);
  };
  TDateTime oldest = queue_.front().entry.completo;
  for (const TItem& item : queue_)
    if (key(item.entry.completo) < key(oldest)) oldest = item.entry.completo;
  return oldest;
}
