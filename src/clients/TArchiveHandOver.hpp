#pragma once
#include <string>

#include "archive/TArchiveDelivery.hpp"
#include "archive/TArchiveEntry.hpp"
#include "clients/TClientFields.hpp"
#include "clients/TClientPorts.hpp"
#include "protocol/Lines.hpp"

// A complete result message on its way to the output folder: the name it is
// filed under, the entry that carries what naming needs, and its hand-over
// to the delivery (spool, then the archive file).
class TArchiveHandOver {
 public:
  TArchiveHandOver(const TClientFields& fields, TClientPorts& ports) : fields_(fields), ports_(ports) {}

  // The archive path for the block as the folder is now; on an error, logged,
  // the folder alone (a write to it fails).
  std::string GetFileName(const TLines& bloco);
  // Writes the block atomically (".tmp" then rename, never replacing a file);
  // throws std::runtime_error when it cannot.
  void SaveBlock(const std::string& path, const TLines& bloco);
  // Hands a complete result message to the delivery, named later by the same
  // rules as GetFileName; "Item salvo em" is logged when its file is written.
  // Throws std::runtime_error when nothing holds it (see TArchiveDelivery::Accept)
  // or when the block's identifier cannot be read.
  void ArchiveBlock(const TLines& bloco, TArchiveDelivery::TWhenSpoolFails whenSpoolFails);
  // The block with what naming needs, complete now, from this connection.
  TArchiveEntry EntryFor(const TLines& bloco) const;

 private:
  const TClientFields& fields_;
  TClientPorts& ports_;
};
