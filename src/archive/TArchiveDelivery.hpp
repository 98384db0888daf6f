#pragma once
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "archive/TArchiveEntry.hpp"
#include "archive/TArchiveWriter.hpp"
#include "archive/TSpoolStore.hpp"

class TLogSink;

// Takes complete result messages and sees them into the output folder: first
// into the spool (when there is one), then on to their archive name. What
// cannot be delivered waits, in the order it came per origin, for the next
// DeliverPending. Without a spool every message is written straight through
// and a failure is the caller's (the write throws).
class TArchiveDelivery {
 public:
  // spool may be null (straight through only); log may be null.
  TArchiveDelivery(TArchiveWriter& archive, TSpoolStore* spool, TLogSink* log);

  // What to do with a message that the spool cannot take.
  enum class TWhenSpoolFails {
    Refuse,        // throw: the sender was not told it was received and sends it again (HL7)
    KeepInMemory,  // it was acknowledged already: held in memory and delivered as soon as possible
  };

  // Takes a complete message and delivers it when nothing older of its origin
  // waits. Throws std::runtime_error when nothing holds it: the spool refused it
  // (Refuse), or, without a spool, the archive file could not be written.
  void Accept(const TArchiveEntry& entry, TWhenSpoolFails whenSpoolFails);
  // Reads what the spool holds from an earlier run (before any Accept).
  void LoadSpool();
  // Tries every waiting message, oldest first; an origin whose message failed
  // waits with all its later ones. Answers how many still wait.
  size_t DeliverPending();
  // Messages waiting (in the spool or, when it refused them, in memory).
  size_t Pending() const { return queue_.size(); }
  bool HasSpool() const { return spool_ != nullptr; }
  // When the oldest waiting message was complete; none when nothing waits.
  std::optional<TDateTime> OldestPending() const;

  // Told of every archive file written, with its path (for the status page).
  std::function<void(const TArchiveEntry& entry, const std::string& path)> onDelivered;

 private:
  struct TItem {
    TArchiveEntry entry;
    std::string key;            // its spool entry; empty while only in memory
    bool nomeAvisado = false;   // the note about an unusable identifier was logged
    bool entregue = false;      // archived; only its spool entry is left to remove
  };

  void Deliver(TItem& item);
  void DeliverOrigin(const std::string* origem);
  void EnsureOutputFolder(const std::string& pasta);
  void Log(const std::string& txt) const;
  // Logs a failure once per kind: again only after the kind changed or a delivery succeeded.
  void LogOnce(std::string& last, const std::string& kind, const std::string& line) const;

  TArchiveWriter& archive_;
  TSpoolStore* spool_;
  TLogSink* log_;
  std::deque<TItem> queue_;
  mutable std::string lastDeliveryKind_;
  mutable std::string lastSpoolKind_;
  mutable std::string lastRemoveKind_;
};
