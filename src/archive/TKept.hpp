#pragma once
#include <string>

// A complete result message handed to the disk: what to do when the spool
// cannot take it, and what became of it.

enum class TWhenSpoolFails {
  Refuse,        // it is not kept: the sender was not told it was received and sends it again (HL7)
  KeepInMemory,  // it was acknowledged already: held in memory and delivered as soon as possible
};

enum class TKeptAs {
  Spool,    // on disk, in the spool
  Memory,   // the spool refused it: held in memory until delivered
  Refused,  // not kept (TWhenSpoolFails::Refuse); the error says why
};

struct TKept {
  TKeptAs as = TKeptAs::Spool;
  std::string error;  // why the spool refused it (Memory, Refused)
};
