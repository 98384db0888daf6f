#include "archive/TOutputDelivery.hpp"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <exception>
#include <set>
#include <string_view>
#include <thread>
#include <tuple>

#include "archive/TOldSpool.hpp"
#include "log/TLogSink.hpp"
#include "util/FileSystem.hpp"

using Clock = std::chrono::steady_clock;

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

std::string FolderOf(const std::string& path) { return path.substr(0, path.find_last_of(fsys::PATH_SEPARATORS) + 1); }

// The archive folder as one group sees it: a name chosen for an earlier
// message of the group is taken, though its file has no name yet.
class TGroupNames : public TArchiveWriter {
 public:
  explicit TGroupNames(TArchiveWriter& real) : real_(real) {}
  bool IsDirectory(const std::string& path) override { return real_.IsDirectory(path); }
  bool IsTakenByFile(const std::string& path) override { return taken_.count(path) || real_.IsTakenByFile(path); }
  void CreateFolder(const std::string& path) override { real_.CreateFolder(path); }
  void Save(const std::string& path, const std::string& text) override { real_.Save(path, text); }
  void Reserve(const std::string& path) { taken_.insert(path); }

 private:
  TArchiveWriter& real_;
  std::set<std::string> taken_;
};

size_t BytesOf(const TArchiveEntry& e) {
  size_t n = sizeof e;
  for (const auto& l : e.linhas) n += l.size() + 32;
  return n;
}

}  // namespace

struct TOutputDelivery::Shared {
  TOptions options;
  std::shared_ptr<TSpoolJournal> journal;
  std::string spoolFolder;
  TArchiveWriter& archive;
  TLogSink* log;
  std::function<void(const TArchiveEntry&, const std::string&)> onDelivered;
  std::function<void()> onStart;

  mutable std::mutex m;
  std::condition_variable wake;
  std::condition_variable exited;
  std::deque<TDeliveryItem> queue;
  size_t memoryBytes = 0;  // of the entries the queue holds
  std::map<std::string, Clock::time_point> blockedUntil;  // origens that wait after a failure
  Clock::time_point busySince{};  // of the group being delivered; epoch when none
  bool stopping = false;
  Clock::time_point stopBy{};  // after a stop, no group starts after this
  bool running = false;
  // Held while onDelivered runs, so that Stop can close the door behind the last.
  std::mutex deliveredMutex;
  bool deliveredClosed = false;

  // Log lines told once per kind (again after the kind changed or a delivery succeeded); delivery thread only.
  std::string lastDeliveryKind, lastJournalKind;

  Shared(TOptions o, std::shared_ptr<TSpoolJournal> j, std::string spool, TArchiveWriter& a, TLogSink* l)
      : options(o), journal(std::move(j)), spoolFolder(std::move(spool)), archive(a), log(l) {}

  void Log(const std::string& txt) const {
    if (log) log->make(txt);
  }
  void LogOnce(std::string& last, const std::string& kind, const std::string& line) const {
    if (kind == last) return;
    last = kind;
    Log(line);
  }

  // One message of a group on its way.
  struct TStep {
    size_t index;  // in the group
    std::shared_ptr<const TArchiveEntry> entry;
    std::string text;
    TArchiveWriter::TStaged staged;  // path: the name chosen
    bool done = false;               // delivered by an earlier run
    std::string error;               // its file could not be written
  };
  // Writes and flushes the steps' files under temporary names, several at
  // once: a disk flushes many files together about as fast as one.
  void StageAll(std::vector<TStep>& steps);

  void Run();
  // The next group, with the items' places in the queue (Enqueue only
  // appends, so they hold until the delivery thread takes items out).
  std::vector<TDeliveryItem> PickGroup(Clock::time_point now, std::vector<size_t>& places);
  // Delivers the group; answers the origens that failed, with whether the
  // failure was only a name taken meanwhile (tried again at once).
  std::map<std::string, bool> DeliverGroup(std::vector<TDeliveryItem>& group, std::vector<size_t>& delivered);
  void EnsureOutputFolder(const std::string& pasta, std::set<std::string>& checked);
};

std::vector<TDeliveryItem> TOutputDelivery::Shared::PickGroup(Clock::time_point now, std::vector<size_t>& places) {
  // Under m. Front to back, so the messages of one origem stay in order.
  std::vector<TDeliveryItem> group;
  places.clear();
  for (size_t i = 0; i < queue.size() && group.size() < options.groupMost; ++i) {
    const TDeliveryItem& item = queue[i];
    auto b = blockedUntil.find(item.origem);
    if (b != blockedUntil.end()) {
      if (b->second > now) continue;
      blockedUntil.erase(b);
    }
    group.push_back(item);
    places.push_back(i);
  }
  return group;
}

void TOutputDelivery::Shared::StageAll(std::vector<TStep>& steps) {
  std::vector<TStep*> todo;
  for (TStep& s : steps)
    if (!s.done) todo.push_back(&s);
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i = next++; i < todo.size(); i = next++) {
      TStep& s = *todo[i];
      try {
        s.staged = archive.Stage(s.staged.path, s.text);
      } catch (const std::exception& e) {
        s.error = e.what();
      }
    }
  };
  std::vector<std::thread> helpers;
  const size_t threads = std::min(todo.size(), options.flushThreads);
  for (size_t i = 1; i < threads; ++i) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: fewer do it
    }
  }
  work();
  for (auto& t : helpers) t.join();
}

void TOutputDelivery::Shared::EnsureOutputFolder(const std::string& pasta, std::set<std::string>& checked) {
  if (pasta.empty() || !checked.insert(pasta).second || archive.IsDirectory(pasta)) return;
  // Gone (deleted, an unmounted disk): made again with its parents, from the top down.
  std::deque<std::string> faltam;
  for (std::string p = pasta; !p.empty() && p != "/" && !archive.IsDirectory(p); p = Parent(p)) faltam.push_front(p);
  for (const auto& p : faltam) archive.CreateFolder(p);
  if (archive.IsDirectory(pasta)) Log("Pasta destino de arquivos criada de novo: " + pasta);
}

std::map<std::string, bool> TOutputDelivery::Shared::DeliverGroup(std::vector<TDeliveryItem>& group,
                                                                  std::vector<size_t>& delivered) {
  std::map<std::string, bool> failed;  // origem -> only a name taken
  auto fail = [&](const TDeliveryItem& item, const std::string& what) {
    failed.emplace(item.origem, false);
    LogOnce(lastDeliveryKind, KindOf(what),
            "N\xE3o foi poss\xEDvel entregar o item na pasta destino: " + what +
                (item.seq || !item.legacyKey.empty() ? std::string("; ele fica na fila spool/")
                                                     : std::string("; ele fica na mem\xF3ria")) +
                " e ser\xE1 entregue assim que poss\xEDvel");
  };

  std::vector<TStep> steps;
  TGroupNames names(archive);
  std::set<std::string> checkedFolders;
  for (size_t i = 0; i < group.size(); ++i) {
    TDeliveryItem& item = group[i];
    if (failed.count(item.origem)) continue;
    TStep step{i, item.entry, {}, {}, false, {}};
    try {
      if (!step.entry) step.entry = std::make_shared<const TArchiveEntry>(journal->Read(item.seq));
      step.text = protocol::LinesText(step.entry->linhas);
      if (!item.nome.empty()) {
        // Named by a run that ended: its file, when it holds the message, is the delivery.
        if (archive.HoldsExactly(item.nome, step.text)) {
          step.done = true;
          step.staged.path = item.nome;
          steps.push_back(std::move(step));
          continue;
        }
        archive.DiscardTemp(item.temp);
      }
      EnsureOutputFolder(step.entry->pastaSaida, checkedFolders);
      step.staged.path = ArchivePathFor(names, *step.entry, [&](const std::string& nota) {
        if (!item.nomeAvisado) Log(nota);
      });
      item.nomeAvisado = true;
      names.Reserve(step.staged.path);
      steps.push_back(std::move(step));
    } catch (const std::exception& e) {
      fail(item, e.what());
    }
  }
  StageAll(steps);
  for (TStep& s : steps)
    if (!s.error.empty() && !failed.count(group[s.index].origem)) fail(group[s.index], s.error);

  // The names are on disk before any file has one: a crash after a rename
  // finds the message there and does not deliver it again.
  std::vector<TSpoolJournal::TNamed> named;
  for (const TStep& s : steps)
    if (!s.done && group[s.index].seq) named.push_back({group[s.index].seq, s.staged.path, s.staged.temp});
  if (journal && !named.empty()) {
    try {
      journal->RecordNames(named);
      lastJournalKind.clear();
    } catch (const std::exception& e) {
      // Delivered all the same: a crash before the next start may then file one twice.
      LogOnce(lastJournalKind, KindOf(e.what()), ErrorLine("TOutputDelivery.RecordNames", e.what()));
    }
  }

  std::set<std::string> folders;
  std::vector<const TStep*> published;
  for (TStep& s : steps) {
    const TDeliveryItem& item = group[s.index];
    if (failed.count(item.origem)) {
      if (!s.done && s.error.empty()) archive.Discard(s.staged);
      continue;
    }
    if (s.done) {
      published.push_back(&s);
      continue;
    }
    try {
      if (!archive.Publish(s.staged)) {
        // A file took the name since it was chosen: another name right away.
        archive.Discard(s.staged);
        failed.emplace(item.origem, true);
        continue;
      }
      folders.insert(FolderOf(s.staged.path));
      published.push_back(&s);
    } catch (const std::exception& e) {
      archive.Discard(s.staged);
      fail(item, e.what());
    }
  }
  for (const auto& f : folders) archive.FlushFolder(f);

  std::vector<uint64_t> seqs;
  for (const TStep* s : published) {
    const TDeliveryItem& item = group[s->index];
    delivered.push_back(s->index);
    if (item.seq) seqs.push_back(item.seq);
    if (!item.legacyKey.empty()) {
      try {
        TOldSpool(spoolFolder).Remove(item.legacyKey);
      } catch (const std::exception& e) {
        LogOnce(lastJournalKind, KindOf(e.what()), ErrorLine("TOutputDelivery.Remove", e.what()));
      }
    }
    if (s->done) continue;
    Log("Item salvo em " + s->staged.path);
    lastDeliveryKind.clear();
    if (onDelivered) {
      std::lock_guard<std::mutex> lock(deliveredMutex);
      if (!deliveredClosed) onDelivered(*s->entry, s->staged.path);
    }
  }
  if (journal && !seqs.empty()) {
    try {
      journal->RecordDelivered(seqs);
    } catch (const std::exception& e) {
      // The next start compares the named files and finds them delivered.
      LogOnce(lastJournalKind, KindOf(e.what()), ErrorLine("TOutputDelivery.RecordDelivered", e.what()));
    }
  }
  return failed;
}

void TOutputDelivery::Shared::Run() {
  std::unique_lock<std::mutex> lock(m);
  bool lingered = false;  // the group about to start has waited for company
  if (onStart) {
    busySince = Clock::now();
    lock.unlock();
    try {
      onStart();
    } catch (const std::exception& e) {
      Log(ErrorLine("TOutputDelivery.Start", e.what()));
    }
    lock.lock();
    busySince = Clock::time_point{};
  }
  for (;;) {
    const Clock::time_point now = Clock::now();
    // At a stop what waits is still delivered while there is time.
    if (stopping && now >= stopBy) break;
    std::vector<size_t> places;
    std::vector<TDeliveryItem> group = PickGroup(now, places);
    if (group.empty() && stopping) break;
    if (!group.empty() && !lingered && !stopping && group.size() < options.groupMost && options.linger.count() > 0) {
      lingered = true;
      wake.wait_for(lock, options.linger, [&] { return stopping; });
      continue;
    }
    lingered = false;
    if (group.empty()) {
      Clock::time_point next = Clock::time_point::max();
      for (const auto& [origem, until] : blockedUntil) next = std::min(next, until);
      if (next == Clock::time_point::max())
        wake.wait(lock);
      else
        wake.wait_until(lock, next);
      continue;
    }
    busySince = now;
    lock.unlock();
    std::vector<size_t> delivered;
    std::map<std::string, bool> failed;
    try {
      failed = DeliverGroup(group, delivered);
    } catch (const std::exception& e) {
      Log(ErrorLine("TOutputDelivery.Run", e.what()));
      for (const auto& item : group) failed.emplace(item.origem, false);
    }
    lock.lock();
    busySince = Clock::time_point{};
    for (size_t i = 0; i < group.size(); ++i) queue[places[i]].nomeAvisado = group[i].nomeAvisado;
    // Taken out from the back, so the places before stay right.
    std::sort(delivered.begin(), delivered.end());
    for (auto it = delivered.rbegin(); it != delivered.rend(); ++it) {
      const auto at = queue.begin() + static_cast<std::ptrdiff_t>(places[*it]);
      if (at->entry) memoryBytes -= std::min(memoryBytes, BytesOf(*at->entry));
      queue.erase(at);
    }
    for (const auto& [origem, onlyName] : failed)
      blockedUntil[origem] = onlyName ? Clock::now() : Clock::now() + options.retry;
  }
  running = false;
  exited.notify_all();
}

TOutputDelivery::TOutputDelivery(TOptions options, std::shared_ptr<TSpoolJournal> journal, std::string spoolFolder,
                                 TArchiveWriter& archive, TLogSink* log)
    : shared_(std::make_shared<Shared>(options, std::move(journal), std::move(spoolFolder), archive, log)) {}

TOutputDelivery::~TOutputDelivery() { Stop(std::chrono::milliseconds(0)); }

void TOutputDelivery::Start() {
  std::lock_guard<std::mutex> lock(shared_->m);
  if (shared_->running || shared_->stopping) return;
  shared_->onDelivered = onDelivered;
  shared_->onStart = onStart;
  shared_->running = true;
  std::thread([s = shared_] { s->Run(); }).detach();
}

void TOutputDelivery::Enqueue(std::vector<TDeliveryItem> items) {
  if (items.empty()) return;
  std::lock_guard<std::mutex> lock(shared_->m);
  for (TDeliveryItem& item : items) {
    // Beyond the memory bound a message kept on disk is read back when its turn comes.
    if (item.entry && item.seq) {
      const size_t bytes = BytesOf(*item.entry);
      if (shared_->memoryBytes + bytes > shared_->options.memoryMost)
        item.entry.reset();
      else
        shared_->memoryBytes += bytes;
    } else if (item.entry) {
      shared_->memoryBytes += BytesOf(*item.entry);
    }
    shared_->queue.push_back(std::move(item));
  }
  shared_->wake.notify_all();
}

void TOutputDelivery::DeliverNow() {
  std::lock_guard<std::mutex> lock(shared_->m);
  shared_->blockedUntil.clear();
  shared_->wake.notify_all();
}

bool TOutputDelivery::Stop(std::chrono::milliseconds grace) {
  bool ended = false;
  {
    std::unique_lock<std::mutex> lock(shared_->m);
    // Half the time for new groups, so that the last one ends within it.
    if (!shared_->stopping) shared_->stopBy = Clock::now() + grace / 2;
    shared_->stopping = true;
    shared_->wake.notify_all();
    ended = shared_->exited.wait_for(lock, grace, [&] { return !shared_->running; });
  }
  std::lock_guard<std::mutex> lock(shared_->deliveredMutex);
  shared_->deliveredClosed = true;
  return ended;
}

bool TOutputDelivery::Running() const {
  std::lock_guard<std::mutex> lock(shared_->m);
  return shared_->running;
}

size_t TOutputDelivery::Waiting() const {
  std::lock_guard<std::mutex> lock(shared_->m);
  return shared_->queue.size();
}

std::optional<TDateTime> TOutputDelivery::OldestWaiting() const {
  std::lock_guard<std::mutex> lock(shared_->m);
  if (shared_->queue.empty()) return std::nullopt;
  // Completion times of different origins interleave; the oldest is the smallest.
  auto key = [](const TDateTime& t) { return std::tuple(t.year, t.month, t.day, t.hour, t.minute, t.second, t.msec); };
  TDateTime oldest = shared_->queue.front().completo;
  for (const TDeliveryItem& item : shared_->queue)
    if (key(item.completo) < key(oldest)) oldest = item.completo;
  return oldest;
}

std::chrono::milliseconds TOutputDelivery::BusyFor() const {
  std::lock_guard<std::mutex> lock(shared_->m);
  if (shared_->busySince == Clock::time_point{}) return std::chrono::milliseconds(0);
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - shared_->busySince);
}
