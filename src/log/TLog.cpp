#include "log/TLog.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "log/LogEntry.hpp"
#include "log/LogFile.hpp"
#include "util/Encoding.hpp"
#include "util/FileSystem.hpp"

// Rewriting a file of up to a megabyte for every entry would make the log the
// slowest part of message handling. So the file's lines stay in memory between
// entries, entries are queued, and a small flusher thread applies a burst of
// them with the same rules one by one and rewrites the file once. Before the
// cached lines are trusted the file is checked against what was last written,
// so an operator who deletes or truncates it is not overwritten with stale text.
//
// A file at the cap is kept whole as generation 1 before the next entry starts
// a new one; entries whose rewrite fails (a full disk) stay queued and are
// written with the next flush, so the file on disk is never shortened.

namespace {

using namespace logfile;
using Clock = std::chrono::steady_clock;

// Entries wait at most this long for companions before the file is rewritten.
constexpr auto COALESCE_WINDOW = std::chrono::milliseconds(20);
// After a failed rewrite the queued entries are tried again this often.
constexpr auto RETRY_AFTER = std::chrono::seconds(1);

struct Pending {
  std::string file;
  int64_t cap;
  int32_t generations;
  std::string text;  // Windows-1252, timestamp included
  bool newLine;
};

}  // namespace

struct TLog::Impl {
  std::atomic<uint64_t> restarts{0};  // files started afresh at the cap
  // The last error entries as written (timestamp included), oldest first.
  mutable std::mutex recentMutex;
  std::deque<std::string> recentErrors;

  // Queue shared with the caller's thread.
  std::mutex pendingMutex;
  std::condition_variable wake;
  std::vector<Pending> pending;
  bool scheduled = false;
  Clock::time_point deadline;
  bool stopping = false;
  std::thread flusher;
  long flusherPid = 0;  // the process that started the flusher
  bool threadFailed = false;

  // The file as it stands after the last entry; touched only under ioMutex.
  std::mutex ioMutex;
  bool cacheValid = false;
  std::string cacheFile;
  fsys::FileStamp written;
  FileEncoding enc = FileEncoding::Ansi;
  std::deque<std::string> lines;  // encoded, without line breaks (except maybe the first)
  int64_t size = 0;               // bytes the file holds after a rewrite, mark included
  std::optional<int64_t> diskSize;  // size of the file as read, until the next entry judges the cap
  bool dirty = false;               // entries applied that the file does not hold yet
  bool failureReported = false;

  void Run();
  // True when entries had to stay queued.
  bool FlushPending();
  // Has the flusher try the queued entries again after RETRY_AFTER.
  void ScheduleRetry();
  void Load(const std::string& file, int64_t cap);
  bool AtCap(const Pending& p) const;
  void Rotate(int32_t generations);
  void Apply(const Pending& p);
  bool Write();
  void ReportFailure(const char* what, int err);
};

void TLog::Impl::Run() {
  std::unique_lock lk(pendingMutex);
  for (;;) {
    wake.wait(lk, [&] { return stopping || scheduled; });
    if (stopping) return;
    wake.wait_until(lk, deadline, [&] { return stopping; });
    if (stopping) return;  // the destructor writes what is left
    scheduled = false;
    lk.unlock();
    const bool retry = FlushPending();
    lk.lock();
    if (retry && !scheduled) {
      scheduled = true;
      deadline = Clock::now() + RETRY_AFTER;
    }
  }
}

void TLog::Impl::ScheduleRetry() {
  {
    std::lock_guard lk(pendingMutex);
    if (!flusher.joinable() || stopping || scheduled) return;
    scheduled = true;
    deadline = Clock::now() + RETRY_AFTER;
  }
  wake.notify_all();
}

bool TLog::Impl::FlushPending() {
  std::lock_guard io(ioMutex);
  std::vector<Pending> batch;
  {
    std::lock_guard lk(pendingMutex);
    batch.swap(pending);
  }
  if (batch.empty()) return false;
  std::vector<Pending> kept;  // entries no rewrite got into the file
  size_t i = 0;
  while (i < batch.size()) {
    // Entries for one file (setFile may switch between them) go in one rewrite.
    const std::string file = batch[i].file;
    size_t end = i;
    while (end < batch.size() && batch[end].file == file) ++end;
    Load(file, batch[i].cap);
    size_t written = i;  // entries before this one are in the file
    bool ok = true;
    for (; i < end; ++i) {
      if (AtCap(batch[i])) {
        // What the file holds at the cap, entries of this burst included, is the generation kept.
        if (dirty && !Write()) {
          ok = false;
          break;
        }
        written = i;
        Rotate(batch[i].generations);
        restarts.fetch_add(1, std::memory_order_relaxed);
      }
      Apply(batch[i]);
    }
    if (ok && Write()) written = end;
    for (size_t k = written; k < end; ++k) kept.push_back(std::move(batch[k]));
    i = end;
  }
  if (kept.empty()) return false;
  // A disk that stays full must not make the queue grow without end: beyond
  // a cap's worth of text the oldest entries are given up.
  int64_t bytes = 0;
  for (const auto& p : kept) bytes += static_cast<int64_t>(p.text.size());
  const int64_t limit = std::max<int64_t>(kept.back().cap, 65536);
  size_t drop = 0;
  while (drop + 1 < kept.size() && bytes > limit) bytes -= static_cast<int64_t>(kept[drop++].text.size());
  if (drop) std::fprintf(stderr, "TLog: %zu entries given up while the log cannot be written\n", drop);
  std::lock_guard lk(pendingMutex);
  pending.insert(pending.begin(), std::make_move_iterator(kept.begin() + static_cast<std::ptrdiff_t>(drop)),
                 std::make_move_iterator(kept.end()));
  return true;
}

// Makes the in-memory lines reflect the file on disk, reading it only when it
// is not exactly what we wrote last.
void TLog::Impl::Load(const std::string& file, int64_t cap) {
  fsys::FileInfo st;
  int statErr = 0;
  const bool exists = fsys::Stat(file, st, true, statErr);
  if (cacheValid && cacheFile == file && exists && st.stamp == written) return;

  cacheValid = false;
  cacheFile = file;
  lines.clear();
  enc = FileEncoding::Ansi;
  size = 0;
  diskSize.reset();
  dirty = false;
  if (!exists) return;
  diskSize = st.size;
  if (st.size >= cap) return;  // dropped by the cap rule when the entry is applied
  std::string text;
  int readErr = 0;
  if (!fsys::ReadWholeFile(file, text, readErr)) return;  // unreadable counts as empty

  enc = EncodingOf(text);
  const size_t bom = Bom(enc).size();
  std::vector<std::string> split;
  SplitLines(text.substr(bom), enc, split);
  const size_t br = LineBreak(enc).size();
  size = static_cast<int64_t>(Bom(enc).size());
  for (auto& l : split) {
    size += static_cast<int64_t>(l.size() + br);
    lines.push_back(std::move(l));
  }
  // `size` is what the next rewrite will leave (line breaks normalised); the
  // cap is judged on the file as it is now.
  diskSize = st.size;
}

bool TLog::Impl::AtCap(const Pending& p) const {
  const int64_t current = diskSize ? *diskSize : size;
  return current > 0 && current >= p.cap;
}

// The file on disk, which holds every applied entry, becomes generation 1.
void TLog::Impl::Rotate(int32_t generations) {
  int err = 0;
  if (RotateFile(cacheFile, generations, err)) {
    cacheValid = false;
    lines.clear();
    enc = FileEncoding::Ansi;
    size = 0;
    diskSize.reset();
    return;
  }
  // Where nothing can be renamed the file starts afresh, as Apply does.
  ReportFailure("cannot keep", err);
}

void TLog::Impl::ReportFailure(const char* what, int err) {
  // The caller must go on; one note on stderr (the journal) until writing works again.
  if (!failureReported)
    std::fprintf(stderr, "TLog: %s %s: %s\n", what, cacheFile.c_str(), fsys::ErrorText(err).c_str());
  failureReported = true;
}

void TLog::Impl::Apply(const Pending& p) {
  const int64_t current = diskSize ? *diskSize : size;
  diskSize.reset();
  dirty = true;
  if (current >= p.cap) {
    // The file (kept as a generation by Rotate) starts afresh, in the 8-bit code page.
    lines.clear();
    enc = FileEncoding::Ansi;
    size = 0;
  }
  const size_t br = LineBreak(enc).size();
  if (!lines.empty() && HasLineBreak(lines.front(), enc)) {
    // An entry written with a CR or LF inside becomes separate lines once read back.
    std::vector<std::string> split;
    SplitLines(lines.front() + LineBreak(enc), enc, split);
    size -= static_cast<int64_t>(lines.front().size() + br);
    lines.pop_front();
    for (auto it = split.rbegin(); it != split.rend(); ++it) {
      size += static_cast<int64_t>(it->size() + br);
      lines.push_front(std::move(*it));
    }
  }
  std::string entry = Encode(p.text, enc);
  if (lines.empty()) size = static_cast<int64_t>(Bom(enc).size());
  if (p.newLine || lines.empty()) {
    size += static_cast<int64_t>(entry.size() + br);
    lines.push_front(std::move(entry));
  } else {
    size += static_cast<int64_t>(entry.size());
    lines.front() += entry;
  }
}

bool TLog::Impl::Write() {
  const std::string& br = LineBreak(enc);
  std::string data = Bom(enc);
  data.reserve(static_cast<size_t>(size > 0 ? size : 0));
  for (const auto& l : lines) {
    data += l;
    data += br;
  }
  cacheValid = false;
  int err = 0;
  if (!WriteFileBytes(cacheFile, data, err)) {
    ReportFailure("cannot write", err);
    return false;
  }
  failureReported = false;
  dirty = false;
  fsys::FileInfo st;
  if (!fsys::Stat(cacheFile, st, true, err)) return true;
  written = st.stamp;
  cacheValid = true;
  return true;
}

TLog::TLog(const std::string& filename, int32_t maxFileSize)
    : file_name(filename), max_file_size(maxFileSize), impl_(std::make_unique<Impl>()) {}

TLog::~TLog() {
  if (impl_->flusher.joinable() && impl_->flusherPid != fsys::ProcessId()) {
    // A forked child that exits normally: the flusher thread does not exist
    // here, and joining it would hang; the parent keeps the log.
    (void)impl_.release();
    return;
  }
  {
    std::lock_guard lk(impl_->pendingMutex);
    impl_->stopping = true;
  }
  impl_->wake.notify_all();
  if (impl_->flusher.joinable()) impl_->flusher.join();
  (void)impl_->FlushPending();
}

void TLog::setFile(const std::string& filename) { file_name = filename; }

int64_t TLog::FileSize(const std::string& fileName) {
  fsys::FileInfo st;
  int err = 0;
  if (!fsys::Stat(fileName, st, true, err) || !st.isRegular) return -1;
  return st.size;
}

void TLog::make(const std::string& txt, bool newLine) {
  try {
    std::string entry = txt.empty() ? std::string() : LogEntryText(now ? now() : SystemNow(), txt);
    if (txt.find("Erro") != std::string::npos) {
      std::lock_guard lk(impl_->recentMutex);
      impl_->recentErrors.push_back(entry);
      if (impl_->recentErrors.size() > RECENT_ERRORS) impl_->recentErrors.pop_front();
    }
    bool synchronous = false;
    bool wakeFlusher = false;
    {
      std::lock_guard lk(impl_->pendingMutex);
      impl_->pending.push_back({file_name, max_file_size, generations, std::move(entry), newLine});
      if (!impl_->flusher.joinable() && !impl_->threadFailed) {
        try {
          impl_->flusher = std::thread([impl = impl_.get()] { impl->Run(); });
          impl_->flusherPid = fsys::ProcessId();
        } catch (const std::system_error&) {
          impl_->threadFailed = true;
        }
      }
      synchronous = impl_->threadFailed;
      if (!synchronous && !impl_->scheduled) {
        impl_->scheduled = true;
        impl_->deadline = Clock::now() + COALESCE_WINDOW;
        wakeFlusher = true;  // a burst already scheduled is written with this entry
      }
    }
    if (synchronous)
      (void)impl_->FlushPending();
    else if (wakeFlusher)
      impl_->wake.notify_all();
  } catch (...) {
    // Logging never stops the caller.
  }
}

uint64_t TLog::Restarts() const { return impl_->restarts.load(std::memory_order_relaxed); }

std::vector<std::string> TLog::RecentErrors() const {
  std::lock_guard lk(impl_->recentMutex);
  return {impl_->recentErrors.begin(), impl_->recentErrors.end()};
}

void TLog::flush() {
  try {
    if (impl_->FlushPending()) impl_->ScheduleRetry();
  } catch (...) {
  }
}
