#pragma once
#include <deque>
#include <exception>
#include <string>

#include "clients/TClientContext.hpp"

class TSocketClient;

// The context's parts as the record's owners use them, each with its default
// when the context leaves it out: no log, no debug lines, the system clock,
// the host's file system, result messages written straight into the archive. The events
// port is told which record counted; the record itself is never called.
class TClientPorts {
 public:
  TClientPorts(const TSocketClient& record, TClientContext context);
  TClientPorts(const TClientPorts&) = delete;
  TClientPorts& operator=(const TClientPorts&) = delete;

  // --- log
  void Log(const std::string& txt) const;
  // The design's error line: where + "() -> Erro: " + the error (detail between).
  void LogError(const std::string& where, const std::exception& e, const std::string& detail = {}) const;
  // Logs what stays in the input buffer after a handler ran.
  void LogResidue(const std::deque<std::string>& inputBuffer) const;

  // --- configuration and clock
  const TConfigJson* Config() const { return context_.config; }
  bool Debug() const;
  // Frames are refused when their checksum does not match (verificarChecksum, on by default).
  bool VerifyChecksums() const;
  TDateTime Now() const;

  // --- LIS, archive
  TLisLookups* Lis() const { return context_.lis; }
  bool LookupsDeferred() const { return context_.lookupsDeferred; }
  TArchiveWriter& Archive();
  bool KeepDeferred() const { return context_.keepDeferred; }

  // --- what the status page counts
  void ResultReceived() const;
  void QueryAnswered(bool found) const;
  void ReplyQueued() const;
  void ChecksumRefused() const;
  void DuplicateFrame() const;

 private:
  const TSocketClient& record_;
  TClientContext context_;
  TFileArchiveWriter fileArchive_;  // the writer when the context names none
};
