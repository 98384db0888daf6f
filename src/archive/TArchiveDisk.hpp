#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "archive/TArchiveEntry.hpp"
#include "archive/TArchiveWriter.hpp"
#include "archive/TKept.hpp"
#include "archive/TOutputDelivery.hpp"

class TLogSink;

// The archive's disk work on threads of its own, so that no analyzer waits
// for a disk. The keeper writes complete messages into the spool journal in
// groups, one flush per group (what arrives during a flush makes the next
// group), and tells each message's caller that it is kept; the delivery
// (TOutputDelivery) then takes kept messages into the output folder in the
// background. Reading what an earlier run left in the spool happens on the
// keeper's thread too, before its first group.
//
// A stop ends the threads; one stuck in a file-system call (a hung network
// share) is left behind, like a LIS worker: ThreadsLeft() tells, and the
// process then ends without destroying what the thread uses.
class TArchiveDisk {
 public:
  using Done = std::function<void(const TKept&)>;

  struct TOptions {
    TOutputDelivery::TOptions delivery;
    size_t groupMost = 256;           // messages in one group
    size_t groupBytesMost = 4u << 20; // their lines' bytes
  };

  // spoolFolder: ending with the separator (file-system bytes); log may be null.
  TArchiveDisk(TOptions options, std::string spoolFolder, TArchiveWriter& archive, TLogSink* log);
  ~TArchiveDisk();  // Stop(5 s)
  TArchiveDisk(const TArchiveDisk&) = delete;
  TArchiveDisk& operator=(const TArchiveDisk&) = delete;

  // Told of every archive file written (on the delivery thread). Set before Start.
  std::function<void(const TArchiveEntry& entry, const std::string& path)> onDelivered;
  // Runs first on the delivery's thread (see TOutputDelivery::onStart). Set before Start.
  std::function<void()> onStart;

  // Starts the threads: the keeper reads the spool first, then keeps.
  void Start();
  // Hands a complete message over; done is called once, on the keeper's
  // thread, when it is kept (or refused). False after Stop (done is never called then).
  bool Keep(TArchiveEntry entry, TWhenSpoolFails whenSpoolFails, Done done);
  // Tries every waiting message now (the retry interval cut short).
  void DeliverNow();
  // Ends the threads within grace: the keeper keeps what was handed to it
  // first, the delivery ends after its group. No done is called after Stop returned.
  void Stop(std::chrono::milliseconds grace);
  // Threads still inside a file-system call after Stop.
  int ThreadsLeft() const;

  // What the status page shows.
  struct TState {
    bool spoolRead = false;            // what an earlier run left is read
    size_t waiting = 0;                // messages not yet in the output folder
    std::optional<TDateTime> oldest;   // when the oldest of them was complete
    std::chrono::milliseconds keeperBusyFor{0};    // the group being kept has been at it for this long
    std::chrono::milliseconds deliveryBusyFor{0};  // the group being delivered (a hung output folder)
    uint64_t groupsKept = 0;           // groups written to the spool (one flush each)
  };
  TState State() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<TOutputDelivery> delivery_;
};
