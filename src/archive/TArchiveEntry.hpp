#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "archive/TArchiveWriter.hpp"
#include "protocol/Lines.hpp"
#include "util/TDateTime.hpp"

// A complete result message with everything its archive name is formed from,
// so the name can be chosen whenever it is delivered, also after a restart.
struct TArchiveEntry {
  TLines linhas;                // the block's lines, as they go into the file
  int32_t protocolo = 0;        // the analyzer's protocol code (TProtocolo::id)
  std::string versao;           // and version (ASTM: where the sample identifier is)
  std::string modelo;           // the analyzer's model (subfolder)
  std::string nomeTevarin;      // the configured LIS name (subfolder when modelo gives none)
  std::string pastaSaida;       // the output folder, ending with the path separator
  TDateTime completo;           // when the message was complete (time-stamp name)
  std::string origem;           // the connection it came from: delivery order is kept per origem

  bool operator==(const TArchiveEntry&) const = default;
};

// The folder the entry's file goes into: the output folder and the model subfolder.
std::string ArchiveFolderFor(const TArchiveEntry& entry);
// The archive path for the entry in the folder as it is now: sample identifier
// (or the time stamp), "-NN" while the name is taken, extension by protocol.
// Makes the model subfolder (one level) when missing. `note` (when given) gets
// the line that says why an identifier gave way to the time stamp. Throws
// when the block's identifier cannot be read (a JSON block that is no document).
std::string ArchivePathFor(TArchiveWriter& archive, const TArchiveEntry& entry,
                           const std::function<void(const std::string&)>& note);
// Writes the entry straight into its archive file (no spool), named as
// ArchivePathFor names it, atomically; answers the path. Throws
// std::runtime_error when it cannot.
std::string ArchiveNow(TArchiveWriter& archive, const TArchiveEntry& entry,
                       const std::function<void(const std::string&)>& note);
