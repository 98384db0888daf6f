#pragma once
#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/ServiceProcess.hpp"
#include "support/TestSupport.hpp"

namespace kvtest {

// Log texts of the service, as the Windows-1252 bytes it writes.
inline const std::string kLogNovaConexao = "** Nova conex\xE3o: ";
inline const std::string kLogConexaoEncerrada = "Conex\xE3o encerrada: ";
inline const std::string kLogCannotStart = "N\xE3o foi poss\xEDvel iniciar o servi\xE7o. Erro: ";

// A configuration for the service in `folder`: output folder `folder`/saida/,
// the demo analyzers, and no database unless `database` is given.
nlohmann::json ServiceConfig(const std::string& folder, const std::string& database = "");

// A TCP peer on 127.0.0.1 that knows its own port and can reset the connection.
class Peer {
 public:
  explicit Peer(int port, int receiveBuffer = 0);  // throws when it cannot connect
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  int LocalPort() const { return localPort_; }
  void Send(const std::string& bytes);
  // Everything received until pred holds for it or the timeout passes.
  std::string ReadUntil(const std::function<bool(const std::string&)>& pred,
                        std::chrono::milliseconds timeout = 5000ms);
  // Reads until `suffix` ends what arrived; answers what arrived.
  std::string ReadUntilEndsWith(const std::string& suffix, std::chrono::milliseconds timeout = 5000ms);
  // What arrives within the window (for "nothing more comes").
  std::string ReadFor(std::chrono::milliseconds window);
  // True when the service closed the connection within the timeout.
  bool WaitClosed(std::chrono::milliseconds timeout = 5000ms);
  // Closes the sending side only (the peer may still read).
  void ShutdownWrite();
  // Closes with a reset (RST) instead of an orderly close.
  void Reset();
  void Close();

 private:
  int fd_ = -1;
  int localPort_ = 0;
};

// Sends bytes and waits until the service logged a read that ends with them,
// so that what is sent next arrives as a read of its own.
bool SendRead(const ServiceProcess& svc, Peer& peer, const std::string& bytes);
// Sends a lone EOT and waits until the service has handled it.
bool SendEot(const ServiceProcess& svc, Peer& peer);

// Runs the program with arguments and extra environment; answers its exit status.
int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});

// True when every needle is in the newest-first log and they were written in
// the given order (the first needle the oldest). Uses each needle's newest entry.
bool LoggedInOrder(const std::string& log, const std::vector<std::string>& needles);

// Number of times needle occurs in text.
size_t Count(const std::string& text, const std::string& needle);

// Files under dir (recursive) with their contents, sorted by relative name.
std::vector<std::pair<std::string, std::string>> ArchiveFiles(const std::string& dir);

}  // namespace kvtest
