#pragma once
#include <string>

#include "clients/TArchiveHandOver.hpp"
#include "clients/TBlocks.hpp"
#include "clients/TClientFields.hpp"
#include "clients/TClientPorts.hpp"

// The JSON handler: archives every complete Diagno Icounter result document
// (34 lines) at the head of the input buffer; nothing is sent back.
class TJsonHandler {
 public:
  TJsonHandler(TClientFields& fields, TBlocks& blocks, TArchiveHandOver& archive, TClientPorts& ports)
      : fields_(fields), blocks_(blocks), archive_(archive), ports_(ports) {}

  // The text result is always empty.
  std::string ProcessJsonDiagno();

 private:
  TClientFields& fields_;
  TBlocks& blocks_;
  TArchiveHandOver& archive_;
  TClientPorts& ports_;
};
