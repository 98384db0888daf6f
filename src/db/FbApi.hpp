#pragma once
#include <firebird/Interface.h>

#include <string>

// Thin helpers over the Firebird OO API shared by the database layer and the
// test support: the master interface, readable error texts, attaching.
namespace fbapi {

using Firebird::FbException;
using Firebird::IAttachment;
using Firebird::IMaster;
using Firebird::ThrowStatusWrapper;

// The client library's master interface (process lifetime); throws
// std::runtime_error when the client library cannot be found.
IMaster* Master();

// The text of a Firebird error status, lines joined by CR LF, no trailing line end.
std::string ErrorText(const FbException& e);

// Attach parameters: user name and password once each, and the character set.
struct AttachParams {
  std::string user;
  std::string password;
  std::string charset = "WIN1252";
  int connectTimeoutSeconds = 0;  // 0: the client library's own limit
};

// Attaches to `connString` (a local path opens through the embedded engine);
// throws FbException on failure.
IAttachment* Attach(ThrowStatusWrapper& status, const std::string& connString, const AttachParams& p);

// Creates a database file (SQL dialect 3, the given default character set);
// forcedWrites false suits scratch databases (tests, benchmarks).
IAttachment* CreateDatabase(ThrowStatusWrapper& status, const std::string& connString, const AttachParams& p,
                            const std::string& defaultCharset, bool forcedWrites = true);

// Releases an attachment whatever its state: detach, and drop the handle when
// detaching fails (a broken connection must not be reused).
void Release(IAttachment*& att);

}  // namespace fbapi
