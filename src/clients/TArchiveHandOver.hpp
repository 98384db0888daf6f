#pragma once
#include <optional>
#include <string>

#include "archive/TArchiveEntry.hpp"
#include "archive/TKept.hpp"
#include "clients/TClientFields.hpp"
#include "clients/TClientPorts.hpp"
#include "protocol/Lines.hpp"

// What the connection layer hands the disk for a message that waits to be kept.
struct TKeepRequest {
  TArchiveEntry entry;
  TWhenSpoolFails whenSpoolFails = TWhenSpoolFails::Refuse;
};

// What handing a result message over gave: written now, or held until the
// disk says it is kept.
enum class TKeepVerdict { KeptNow, WaitingForDisk };

// A complete result message on its way to the output folder: the name it is
// filed under, the entry that carries what naming needs, and its hand-over.
// In the service the message waits while the connection layer has it kept
// (spool, then the archive file, off the service thread); otherwise it is
// written straight into the archive folder. The hand-over never calls back
// into the handlers: the reception tells the one that waits.
class TArchiveHandOver {
 public:
  TArchiveHandOver(const TClientFields& fields, TClientPorts& ports) : fields_(fields), ports_(ports) {}

  // The archive path for the block as the folder is now; on an error, logged,
  // the folder alone (a write to it fails).
  std::string GetFileName(const TLines& bloco);
  // Writes the block atomically (".tmp" then rename, never replacing a file);
  // throws std::runtime_error when it cannot.
  void SaveBlock(const std::string& path, const TLines& bloco);
  // Hands a complete result message over: written at once ("Item salvo em"
  // logged, counted: KeptNow), or, with deferred keeping, held until Kept
  // (WaitingForDisk). Throws std::runtime_error when the block's identifier
  // cannot be read or the write at once fails.
  TKeepVerdict ArchiveBlock(const TLines& bloco, TWhenSpoolFails whenSpoolFails);
  // The block with what naming needs, complete now, from this connection.
  TArchiveEntry EntryFor(const TLines& bloco) const;

  // --- the message that waits for the disk
  bool Waiting() const { return waiting_.has_value(); }
  // What to keep, handed over once; throws std::logic_error when nothing
  // waits or it was handed over already.
  TKeepRequest TakeRequest();
  // The held message, now that the disk answered (counted unless refused):
  // nothing waits any more. Throws std::logic_error when nothing waits.
  TKeepRequest Kept(const TKept& kept);
  // Forgets a held message (the processing that handed it over failed).
  void Drop() { waiting_.reset(); }

 private:
  const TClientFields& fields_;
  TClientPorts& ports_;
  std::optional<TKeepRequest> waiting_;
  bool handedOver_ = false;
};
