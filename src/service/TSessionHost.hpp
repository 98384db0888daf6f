#pragma once
#include <functional>
#include <string>
#include <system_error>

#include "archive/TKept.hpp"
#include "clients/TArchiveHandOver.hpp"
#include "lis/TLisQuery.hpp"

class TSocketClient;

// What a connection's session reaches of the service that accepted it: the
// connection events (which make, log, count and release the client record),
// the LIS workers, and the log. TKVRedurozozi implements it; the session
// reads, handles and sends on its own.
class TSessionHost {
 public:
  virtual ~TSessionHost() = default;

  // The peer was named: makes the client record for `id` and logs the new connection.
  virtual TSocketClient& Connected(const std::string& id) = 0;
  // A read arrived: logs it ("Nova mensagem"), before reception sees it.
  virtual void Received(const std::string& id, const std::string& chunk) = 0;
  // Reception took the read (counted once identification may have run with it).
  virtual void ReadHandled(const TSocketClient& client) = 0;
  // The analyzer refused an item of ours with NAK (counted).
  virtual void NakReceived(TSocketClient& client) = 0;
  // The connection closed: logs it and frees the record. how: what ended it
  // (eof when the peer or the device did, a socket or device error; none when
  // the service closed it), so that a link the service keeps is opened again.
  virtual void Disconnected(const std::string& id, TSocketClient& client, const std::error_code& how) = 0;
  // A socket error ends the connection: logs it (the session closes).
  virtual void ConnectionFailed(const std::string& id, const std::error_code& ec) = 0;

  // Runs a host query's lookups off the loop; `done` gets the answer on the loop.
  virtual void RunLisQuery(TLisQuery query, std::function<void(TLisAnswer)> done) = 0;
  // Has a complete result message kept on disk off the loop; `done` (when
  // given) gets the outcome on the loop once the spool holds it.
  virtual void Keep(TKeepRequest request, std::function<void(TKept)> done) = 0;
  // An error escaped a handler (the system's event log).
  virtual void ReportError(const std::string& text) = 0;
  // One line of the service log.
  virtual void Log(const std::string& text) = 0;
};
