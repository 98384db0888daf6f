#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
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

// A TCP peer on 127.0.0.1 that also knows its own port, can close its
// sending side only and can reset the connection.
class Peer : public TcpClient {
 public:
  explicit Peer(int port, int receiveBuffer = 0);  // throws when it cannot connect

  int LocalPort() const { return localPort_; }
  // Reads until `suffix` ends what arrived; answers what arrived.
  std::string ReadUntilEndsWith(const std::string& suffix, std::chrono::milliseconds timeout = 5000ms);
  // Closes the sending side only (the peer may still read).
  void ShutdownWrite();
  // Closes with a reset (RST) instead of an orderly close.
  void Reset();

 private:
  int localPort_ = 0;
};

// One service with the demo LIS database for a whole suite, in a folder of its own.
class ServiceSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  static std::string Saida() { return dir_->path() + "/saida"; }  // the service's output folder

  inline static std::unique_ptr<TempDir> dir_;          // the suite's folder (database, service, output)
  inline static std::unique_ptr<ServiceProcess> svc_;  // the running service
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
