#pragma once
#include <cstddef>

#include "clients/TClientFields.hpp"
#include "clients/TClientPorts.hpp"
#include "clients/TIdentification.hpp"
#include "protocol/Lines.hpp"

// Whether the input buffer holds a complete message of the client's protocol,
// and the cutting of its first block for the JSON handler.
class TBlocks {
 public:
  TBlocks(TClientFields& fields, TIdentification& identification, TClientPorts& ports)
      : fields_(fields), identification_(identification), ports_(ports) {}

  // True when the input buffer holds a complete ASTM or HL7 block (a JSON
  // client waits for EOT). Identifies the client on its first header line.
  // lastLineMayGrow: the next chunk may still continue the last line.
  bool BufferPossuiBlocoCompleto(bool lastLineMayGrow);
  // The first block of the input buffer; sourceLines (when given) receives the
  // number of input lines the block was cut from, skipped lines included.
  // Identifies the client from a header line while its code is still 0.
  TLines GetBlocoInBuffer(size_t* sourceLines = nullptr);

 private:
  TClientFields& fields_;
  TIdentification& identification_;
  TClientPorts& ports_;
};
