#include "archive/TArchiveDisk.hpp"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "archive/TSpoolJournal.hpp"
#include "archive/TOldSpool.hpp"
#include "log/TLogSink.hpp"

using Clock = std::chrono::steady_clock;

namespace {

std::string KindOf(const std::string& what) {
  const size_t colon = what.rfind(": ");
  return colon == std::string::npos ? what : what.substr(colon + 2);
}

size_t LinesBytes(const TArchiveEntry& e) {
  size_t n = 0;
  for (const auto& l : e.linhas) n += l.size() + 2;
  return n;
}

struct TRequest {
  std::shared_ptr<const TArchiveEntry> entry;
  TWhenSpoolFails whenSpoolFails;
  TArchiveDisk::Done done;
};

}  // namespace

struct TArchiveDisk::Shared {
  TOptions options;
  std::string spoolFolder;
  std::shared_ptr<TSpoolJournal> journal;
  TLogSink* log;
  TOutputDelivery* delivery = nullptr;  // lives as long as the keeper may hand it anything

  mutable std::mutex m;
  std::condition_variable wake;
  std::condition_variable exited;
  std::deque<TRequest> queue;
  bool stopping = false;
  bool running = false;
  bool spoolRead = false;
  bool legacyRead = false;         // the older spool's files were read
  bool opened = false;             // the journal took its new generation
  Clock::time_point busySince{};   // of the group being kept
  uint64_t groupsKept = 0;
  // Held while a done runs, so that Stop can close the door behind the last.
  std::mutex doneMutex;
  bool doneClosed = false;
  std::string lastSpoolKind;  // keeper thread only

  Shared(TOptions o, std::string spool, TLogSink* l)
      : options(o), spoolFolder(std::move(spool)), journal(std::make_shared<TSpoolJournal>(spoolFolder)), log(l) {}

  void Log(const std::string& txt) const {
    if (log) log->make(txt);
  }
  void Run();
  void ReadSpool();
  void KeepGroup(std::vector<TRequest>& group);
};

void TArchiveDisk::Shared::ReadSpool() {
  std::vector<std::string> problems;
  std::vector<TDeliveryItem> items;
  // Messages of the older one-file-per-message spool come first: they are older.
  std::vector<std::pair<std::string, TArchiveEntry>> legacy;
  if (!legacyRead) legacy = TOldSpool(spoolFolder).Load(&problems);
  legacyRead = true;
  for (auto& [key, entry] : legacy) {
    TDeliveryItem item;
    item.legacyKey = key;
    item.origem = entry.origem;
    item.completo = entry.completo;
    item.entry = std::make_shared<const TArchiveEntry>(std::move(entry));
    items.push_back(std::move(item));
  }
  try {
    for (auto& w : journal->Open(&problems)) {
      TDeliveryItem item;
      item.seq = w.seq;
      item.origem = std::move(w.origem);
      item.completo = w.completo;
      item.nome = std::move(w.nome);
      item.temp = std::move(w.temp);
      items.push_back(std::move(item));
    }
    opened = true;
  } catch (const std::exception& e) {
    problems.push_back(ErrorLine("TArchiveDisk.ReadSpool", e.what()));
  }
  for (const auto& p : problems) Log(p);
  if (!items.empty()) Log("Fila spool/: " + std::to_string(items.size()) + " item(ns) a entregar");
  delivery->Enqueue(std::move(items));
}

void TArchiveDisk::Shared::KeepGroup(std::vector<TRequest>& group) {
  std::vector<const TArchiveEntry*> entries;
  for (const TRequest& r : group) entries.push_back(r.entry.get());
  std::vector<uint64_t> seqs;
  std::string error;
  try {
    // A spool that could not be opened at the start is tried again with each group.
    if (!opened) ReadSpool();
    if (!opened) throw std::runtime_error("N\xe3o foi poss\xedvel abrir a fila " + spoolFolder);
    seqs = journal->Keep(entries);
    lastSpoolKind.clear();
  } catch (const std::exception& e) {
    error = e.what();
  }

  std::vector<TKept> outcomes(group.size());
  std::vector<TDeliveryItem> items;
  for (size_t i = 0; i < group.size(); ++i) {
    TRequest& r = group[i];
    if (error.empty()) {
      outcomes[i].as = TKeptAs::Spool;
    } else if (r.whenSpoolFails == TWhenSpoolFails::Refuse) {
      outcomes[i] = {TKeptAs::Refused, error};
      continue;
    } else {
      outcomes[i] = {TKeptAs::Memory, error};
      if (KindOf(error) != lastSpoolKind) {
        lastSpoolKind = KindOf(error);
        Log("N\xE3o foi poss\xEDvel guardar o item na fila spool/: " + error +
            "; ele fica na mem\xF3ria at\xE9 ser entregue");
      }
    }
    TDeliveryItem item;
    item.seq = error.empty() ? seqs[i] : 0;
    item.origem = r.entry->origem;
    item.completo = r.entry->completo;
    item.entry = r.entry;
    items.push_back(std::move(item));
  }
  // Handed on before the callers hear of it: a kept message is always on its way.
  delivery->Enqueue(std::move(items));
  std::lock_guard<std::mutex> lock(doneMutex);
  if (doneClosed) return;
  for (size_t i = 0; i < group.size(); ++i) {
    try {
      if (group[i].done) group[i].done(outcomes[i]);
    } catch (const std::exception& e) {
      Log(ErrorLine("TArchiveDisk.Keep", e.what()));
    }
  }
}

void TArchiveDisk::Shared::Run() {
  ReadSpool();
  {
    std::lock_guard<std::mutex> lock(m);
    spoolRead = true;
  }
  std::unique_lock<std::mutex> lock(m);
  for (;;) {
    wake.wait(lock, [&] { return stopping || !queue.empty(); });
    // At a stop what was handed over is still kept: an ASTM message's frames were acknowledged.
    if (queue.empty()) break;
    std::vector<TRequest> group;
    size_t bytes = 0;
    while (!queue.empty() && group.size() < options.groupMost &&
           (group.empty() || bytes + LinesBytes(*queue.front().entry) <= options.groupBytesMost)) {
      bytes += LinesBytes(*queue.front().entry);
      group.push_back(std::move(queue.front()));
      queue.pop_front();
    }
    busySince = Clock::now();
    lock.unlock();
    KeepGroup(group);
    try {
      journal->CompactIfWorthIt();
    } catch (const std::exception& e) {
      Log(ErrorLine("TArchiveDisk.Compact", e.what()));
    }
    lock.lock();
    busySince = Clock::time_point{};
    ++groupsKept;
  }
  running = false;
  exited.notify_all();
}

TArchiveDisk::TArchiveDisk(TOptions options, std::string spoolFolder, TArchiveWriter& archive, TLogSink* log)
    : shared_(std::make_shared<Shared>(options, std::move(spoolFolder), log)) {
  delivery_ = std::make_unique<TOutputDelivery>(options.delivery, shared_->journal, shared_->spoolFolder, archive, log);
  shared_->delivery = delivery_.get();
}

TArchiveDisk::~TArchiveDisk() {
  // The service stops it itself; this is for whoever did not (a test that failed half-way).
  Stop(std::chrono::seconds(5));
  // A keeper left behind may still hand messages on: the delivery stays with it.
  if (ThreadsLeft() > 0) (void)delivery_.release();
}

void TArchiveDisk::Start() {
  delivery_->onDelivered = onDelivered;
  delivery_->onStart = onStart;
  delivery_->Start();
  std::lock_guard<std::mutex> lock(shared_->m);
  if (shared_->running || shared_->stopping) return;
  shared_->running = true;
  std::thread([s = shared_] { s->Run(); }).detach();
}

bool TArchiveDisk::Keep(TArchiveEntry entry, TWhenSpoolFails whenSpoolFails, Done done) {
  std::lock_guard<std::mutex> lock(shared_->m);
  if (shared_->stopping) return false;
  shared_->queue.push_back({std::make_shared<const TArchiveEntry>(std::move(entry)), whenSpoolFails, std::move(done)});
  shared_->wake.notify_all();
  return true;
}

void TArchiveDisk::DeliverNow() { delivery_->DeliverNow(); }

void TArchiveDisk::Stop(std::chrono::milliseconds grace) {
  const Clock::time_point deadline = Clock::now() + grace;
  {
    std::unique_lock<std::mutex> lock(shared_->m);
    shared_->stopping = true;
    shared_->wake.notify_all();
    shared_->exited.wait_until(lock, deadline, [&] { return !shared_->running; });
  }
  delivery_->Stop(std::chrono::duration_cast<std::chrono::milliseconds>(
      std::max(Clock::duration::zero(), deadline - Clock::now())));
  {
    std::lock_guard<std::mutex> lock(shared_->doneMutex);
    shared_->doneClosed = true;
  }
  if (ThreadsLeft() == 0) shared_->journal->RemoveIfNothingWaits();
}

int TArchiveDisk::ThreadsLeft() const {
  int n = delivery_ && delivery_->Running() ? 1 : 0;
  std::lock_guard<std::mutex> lock(shared_->m);
  return n + (shared_->running ? 1 : 0);
}

TArchiveDisk::TState TArchiveDisk::State() const {
  TState s;
  s.waiting = delivery_->Waiting();
  s.oldest = delivery_->OldestWaiting();
  s.deliveryBusyFor = delivery_->BusyFor();
  std::lock_guard<std::mutex> lock(shared_->m);
  s.spoolRead = shared_->spoolRead;
  s.groupsKept = shared_->groupsKept;
  if (shared_->busySince != Clock::time_point{})
    s.keeperBusyFor = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - shared_->busySince);
  return s;
}
