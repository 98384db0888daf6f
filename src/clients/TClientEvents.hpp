#pragma once
#include <string>

class TSocketClient;

// What a client record counts for the operators' status page and metrics:
// the service implements it on its own thread; a record without one counts
// nothing. Each call names the record, whose analyzer tells model and protocol.
class TClientEvents {
 public:
  virtual ~TClientEvents() = default;
  // A complete result message was taken for the output folder (spool or file).
  virtual void ResultReceived(const TSocketClient& client) = 0;
  // A host query was answered (found: the LIS had the order).
  virtual void QueryAnswered(const TSocketClient& client, bool found) = 0;
  // A reply message was queued (ACK^R01, a query or order reply).
  virtual void ReplyQueued(const TSocketClient& client) = 0;
  // A frame was refused with NAK for its checksum.
  virtual void ChecksumRefused(const TSocketClient& client) = 0;
  // A frame repeated after a lost ACK was acknowledged without storing it.
  virtual void DuplicateFrame(const TSocketClient& client) = 0;
  // The record logged an error line.
  virtual void ErrorLogged(const TSocketClient& client, const std::string& line) = 0;
};
