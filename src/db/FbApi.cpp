#include "db/FbApi.hpp"

#include <memory>
#include <stdexcept>

#include "db/FbClient.hpp"

namespace fbapi {

namespace {

// The client library is found at start (on Windows fbclient.dll is loaded
// then, and may be missing: the service runs on as with a database that is down).
struct ClientLibrary {
  std::string error;  // before master: filled while master is found
  IMaster* master = nullptr;
  ClientLibrary() : master(LoadMasterInterface(error)) {}
};

}  // namespace

IMaster* Master() {
  static const ClientLibrary library;
  if (!library.master)
    throw std::runtime_error("biblioteca cliente do Firebird n\xE3o encontrada: " + library.error);
  return library.master;
}

std::string ErrorText(const FbException& e) {
  char buf[2048];
  unsigned n = Master()->getUtilInterface()->formatStatus(buf, sizeof(buf), e.getStatus());
  std::string text(buf, n < sizeof(buf) ? n : sizeof(buf) - 1);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  // Log files end their lines with CR LF.
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

namespace {

// Owns an IXpbBuilder for the time of one call.
struct Xpb {
  Firebird::IXpbBuilder* b;
  ~Xpb() { if (b) b->dispose(); }
};

// Holds the dispatcher for the time of one call.
struct Dispatcher {
  Firebird::IProvider* p = Master()->getDispatcher();
  Dispatcher() = default;
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;
  ~Dispatcher() { p->release(); }
};

// A DPB with what every connection carries: character set, user and password.
void InsertLogin(ThrowStatusWrapper& status, Firebird::IXpbBuilder* dpb, const AttachParams& p) {
  dpb->insertString(&status, isc_dpb_lc_ctype, p.charset.c_str());
  dpb->insertString(&status, isc_dpb_user_name, p.user.c_str());
  dpb->insertString(&status, isc_dpb_password, p.password.c_str());
}

}  // namespace

IAttachment* Attach(ThrowStatusWrapper& status, const std::string& connString, const AttachParams& p) {
  Xpb dpb{Master()->getUtilInterface()->getXpbBuilder(&status, Firebird::IXpbBuilder::DPB, nullptr, 0)};
  InsertLogin(status, dpb.b, p);
  if (p.connectTimeoutSeconds > 0) dpb.b->insertInt(&status, isc_dpb_connect_timeout, p.connectTimeoutSeconds);
  Dispatcher prov;
  return prov.p->attachDatabase(&status, connString.c_str(), dpb.b->getBufferLength(&status),
                                dpb.b->getBuffer(&status));
}

IAttachment* CreateDatabase(ThrowStatusWrapper& status, const std::string& connString, const AttachParams& p,
                            const std::string& defaultCharset, bool forcedWrites) {
  Xpb dpb{Master()->getUtilInterface()->getXpbBuilder(&status, Firebird::IXpbBuilder::DPB, nullptr, 0)};
  InsertLogin(status, dpb.b, p);
  dpb.b->insertInt(&status, isc_dpb_sql_dialect, 3);
  dpb.b->insertString(&status, isc_dpb_set_db_charset, defaultCharset.c_str());
  dpb.b->insertInt(&status, isc_dpb_force_write, forcedWrites ? 1 : 0);
  Dispatcher prov;
  return prov.p->createDatabase(&status, connString.c_str(), dpb.b->getBufferLength(&status),
                                dpb.b->getBuffer(&status));
}

void Release(IAttachment*& att) {
  if (!att) return;
  ThrowStatusWrapper status(Master()->getStatus());
  try {
    att->detach(&status);  // releases the interface on success
  } catch (const FbException&) {
    att->release();
  }
  status.dispose();
  att = nullptr;
}

}  // namespace fbapi
