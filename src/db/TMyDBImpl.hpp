#pragma once
#include <firebird/Interface.h>

#include "db/TMyDB.hpp"

// The Firebird side of TMyDB, shared with TMyTransaction.
struct TMyDB::Impl {
  Firebird::IAttachment* att = nullptr;  // null while detached

  // The attachment, attaching first when detached (BeforeConnect's parameters).
  // Throws std::runtime_error with the database's error text.
  Firebird::IAttachment* Attached(const TMyDB& db);
};
