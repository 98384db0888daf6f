#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "archive/TArchiveEntry.hpp"
#include "archive/TArchiveWriter.hpp"
#include "archive/TSpoolJournal.hpp"

class TLogSink;

// A kept message on its way to the output folder.
struct TDeliveryItem {
  uint64_t seq = 0;            // its record in the spool journal; 0: held in memory only
  std::string legacyKey;       // or its file in the spool of older versions ("<n>.entry")
  std::string origem;          // delivery order is kept per origem
  TDateTime completo;
  std::shared_ptr<const TArchiveEntry> entry;  // null: read back from the journal
  std::string nome, temp;      // the name (and temporary file) an earlier run recorded
  bool nomeAvisado = false;    // the note about an unusable identifier was logged
};

// Takes kept messages into the output folder on a thread of its own, in
// groups: the group's files are written and flushed under temporary names,
// their names recorded in the journal (flushed), the files renamed, each
// folder flushed once, and the group recorded as delivered. Messages of one
// origem arrive in the order they came; an origem whose message failed
// waits `retry` before it is tried again, the others go on. A message whose
// name an earlier run recorded is not written again when that file holds it.
class TOutputDelivery {
 public:
  struct TOptions {
    std::chrono::milliseconds retry{30000};  // between two attempts for a failed origem
    size_t groupMost = 256;                  // messages in one group
    size_t memoryMost = 2u << 20;            // message bytes held in memory; beyond, read back from the journal
    size_t flushThreads = 8;                 // files of a group written and flushed at once
    // A group smaller than groupMost waits this long for company: fewer,
    // larger groups leave the disk's flushes to the spool, which the analyzers wait for.
    std::chrono::milliseconds linger{10};
  };
  // journal may be null (nothing kept on disk); log may be null.
  TOutputDelivery(TOptions options, std::shared_ptr<TSpoolJournal> journal, std::string spoolFolder,
                  TArchiveWriter& archive, TLogSink* log);
  ~TOutputDelivery();  // Stop(0)
  TOutputDelivery(const TOutputDelivery&) = delete;
  TOutputDelivery& operator=(const TOutputDelivery&) = delete;

  // Told of every archive file written, with its path; runs on the delivery
  // thread, never after Stop returned. Set before Start.
  std::function<void(const TArchiveEntry& entry, const std::string& path)> onDelivered;
  // Runs first on the delivery thread (a start's work on the output folder,
  // which must not hold up the service thread when the folder hangs). Set before Start.
  std::function<void()> onStart;

  void Start();
  // Queues messages behind what waits (called from any thread).
  void Enqueue(std::vector<TDeliveryItem> items);
  // Tries every origem now, the retry interval cut short.
  void DeliverNow();
  // Ends the thread: what waits is still delivered during the first half of
  // grace, then the group it works on ends; waits up to grace. False when the
  // thread is still inside a file-system call (it is left behind).
  bool Stop(std::chrono::milliseconds grace);
  // True while the thread has not ended.
  bool Running() const;

  size_t Waiting() const;
  // When the oldest waiting message was complete; none when nothing waits.
  std::optional<TDateTime> OldestWaiting() const;
  // How long the group being delivered has been at it (zero when none is):
  // a hung output folder shows here.
  std::chrono::milliseconds BusyFor() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};
