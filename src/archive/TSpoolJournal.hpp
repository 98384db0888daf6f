#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "archive/TArchiveEntry.hpp"
#include "util/FileSystem.hpp"

// The spool as an append-only journal, "<generation>.journal" in the spool
// folder: a group of messages is appended and flushed once, and so are the
// archive names chosen for a group before its files get them, and the news
// that a group was delivered. Each record carries a checksum, so a record
// torn by a crash ends the journal there. Every start, and a run whose
// journal has grown well past what still waits, writes what waits into a
// new generation and removes the older ones.
//
// Keep, RecordNames, RecordDelivered and Read may be called from different
// threads at once; Open comes first, and Compact only from the thread that
// calls Keep.
class TSpoolJournal {
 public:
  // folder: the spool folder, ending with the separator (file-system bytes).
  explicit TSpoolJournal(std::string folder);
  ~TSpoolJournal();

  // A message that waits in the journal.
  struct TWaiting {
    uint64_t seq = 0;
    std::string origem;   // delivery order is kept per origem
    TDateTime completo;   // when it was complete
    std::string nome;     // the archive path recorded for it ("" when none yet)
    std::string temp;     // the temporary file written for that name
  };
  // A name chosen for a message, before its file gets it.
  struct TNamed {
    uint64_t seq = 0;
    std::string nome;
    std::string temp;
  };

  // Reads what earlier runs left, oldest first, and starts a new generation
  // that holds only that. Journals that cannot be read whole are described in
  // *problems (what comes before the damage is kept). Throws
  // std::runtime_error when the folder cannot take the new generation.
  std::vector<TWaiting> Open(std::vector<std::string>* problems);

  // Appends the messages as one group and flushes it; answers their
  // sequence numbers, in order. Throws std::runtime_error (nothing of the
  // group counts as kept then).
  std::vector<uint64_t> Keep(const std::vector<const TArchiveEntry*>& entries);
  // Records the names (flushed). Throws std::runtime_error.
  void RecordNames(const std::vector<TNamed>& names);
  // Records that the messages are in the output folder; they stop waiting.
  // Throws std::runtime_error when the record could not be flushed (a start
  // then compares the named file with the message).
  void RecordDelivered(const std::vector<uint64_t>& seqs);
  // A waiting message as it was kept. Throws std::runtime_error.
  TArchiveEntry Read(uint64_t seq);

  // Writes what waits into a new generation when the journal is more than
  // COMPACT_AT bytes and what waits is at most a quarter of it and at most
  // COMPACT_MOST bytes. Throws std::runtime_error (the journal goes on as it was).
  void CompactIfWorthIt();
  static constexpr uint64_t COMPACT_AT = 8u << 20;
  static constexpr uint64_t COMPACT_MOST = 4u << 20;

  // At a clean stop: when nothing waits, the journal file goes, so an empty
  // spool folder tells an operator (and a package's purge) that nothing is
  // left to deliver. Nothing may be appended afterwards; true when removed.
  bool RemoveIfNothingWaits();

  size_t Waiting() const;
  uint64_t Bytes() const;  // the current generation's size
  const std::string& Folder() const { return folder_; }

  // How many messages wait in the journal of the folder, looked at without
  // changing anything (another process may be writing it).
  static size_t WaitingIn(const std::string& folder);

  // The record framing, for tests: "<type> <seq> <length> <crc>\n<payload>\n".
  static std::string Record(char type, uint64_t seq, const std::string& payload);

 private:
  struct TLive {
    uint64_t offset = 0;  // of the E record's payload in the current generation
    uint32_t size = 0;
    std::string nome, temp;
  };
  using TFile = std::shared_ptr<fsys::AppendFile>;
  struct TPending {
    char type;
    uint64_t seq;
    const std::string* payload;
  };
  // Reads a waiting message's E payload from wherever it is kept now.
  using TReadPayload = std::function<bool(uint64_t seq, const TLive& live, std::string& out, int& err)>;

  // Appends records (under the lock), answers the file to flush and, when
  // asked, the offsets of their payloads; on a failure the file is cut
  // back to where it was.
  TFile Append(const std::vector<TPending>& records, std::vector<uint64_t>* payloadOffsets);
  // Flushes a file Append answered (without the lock).
  void Flush(const TFile& file);
  // Writes the waiting messages into generation gen and makes it current (under the lock).
  void Rewrite(uint64_t gen, const std::map<uint64_t, TLive>& live, const TReadPayload& read);
  // What waits, copied from the current generation into the next, which becomes current (under the lock).
  void NextGeneration();
  std::string PathOf(uint64_t gen) const;

  std::string folder_;
  mutable std::mutex mutex_;
  TFile file_;
  uint64_t gen_ = 0;
  uint64_t size_ = 0;       // bytes of the current generation
  uint64_t liveBytes_ = 0;  // payload bytes of what waits
  uint64_t nextSeq_ = 1;
  bool broken_ = false;     // the last append or flush failed: a new generation before the next
  std::map<uint64_t, TLive> live_;
};
