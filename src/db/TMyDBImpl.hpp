#pragma once
#include <firebird/Interface.h>

#include <mutex>

#include "db/TMyDB.hpp"

// The Firebird side of TMyDB, shared with TMyTransaction.
struct TMyDB::Impl {
  Firebird::IAttachment* att = nullptr;  // null while detached
  // Guards `att` against Cancel() from another thread while it changes.
  std::mutex attLock;

  // Sets or clears the attachment under attLock.
  void Set(Firebird::IAttachment* a) {
    std::lock_guard<std::mutex> lock(attLock);
    att = a;
  }

  // The attachment, attaching first when detached (BeforeConnect's parameters).
  // Throws std::runtime_error with the database's error text.
  Firebird::IAttachment* Attached(TMyDB& db);
};
