#pragma once
#include <cstdint>
#include <string>
#include <system_error>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>

#include "service/TClientSession.hpp"
#include "service/TService.hpp"

class TSocketClient;

// The service object: start-up, main loop and stop, and the TCP listener with
// its connection events. Each connection's reading and sending is its
// TClientSession; the events below are where it logs and reaches the client
// records.
class TKVRedurozozi : public TService {
 public:
  static constexpr const char* SERVICE_NAME = "KVRedurozozi";
  static constexpr const char* DISPLAY_NAME = "Tevarin (Redurozozi)";
  // Unconsumed input above which a client is disconnected.
  static constexpr size_t MAX_INPUT_BYTES = 16u * 1024u * 1024u;
  // Largest single read handed to reception.
  static constexpr size_t MAX_READ_BYTES = 1024u * 1024u;
  // Queued output above which the connection is not read until it drains.
  static constexpr size_t MAX_WRITE_BACKLOG = 1024u * 1024u;

  // Runs ServiceCreate.
  TKVRedurozozi();
  ~TKVRedurozozi() override;

  // --- lifecycle (TKVRedurozozi.cpp)
  // Makes the process-wide state and writes the start-up header.
  void ServiceCreate();
  // Writes the install line.
  void ServiceAfterInstall();
  // Loads the configuration and makes the database object.
  void ServiceStart(bool& Started);
  // Database check, listener, output folder, then the main loop.
  void ServiceExecute();
  // Writes the stop lines; every stop request is accepted.
  void ServiceStop(bool& Stopped);

  // --- listener and connection events (TKVRedurozoziSocket.cpp)
  // Client id: host name ":" port.
  static std::string GetClientID(const std::string& pRemoteHost, int pRemotePort);
  void ServerSocketListen();
  void ServerSocketClientConnect(TClientSession& Socket);
  void ServerSocketClientDisconnect(TClientSession& Socket);
  void ServerSocketClientRead(TClientSession& Socket, const std::string& pChunk);
  // A connection that ended with a socket error.
  void ServerSocketClientError(TClientSession& Socket, const std::error_code& ec);

  // --- transmission: done by the connection's session (TClientSessionSend.cpp)
  void SendFromOutputBuffer(TClientSession& pSocket, TSocketClient& client);
  void handleReply(TClientSession& pSocket, TSocketClient& pClient);
  void SendMessageByBlock(TClientSession& pSocket, TSocketClient& pClient);

  // Port the listener is bound to (the system's choice when configured 0).
  int ListeningPort() const { return listeningPort_; }

  // Public so that sessions report the errors that escape their handlers.
  void ReportError(const std::string& text) override;

 protected:
  void OnStart(bool& Started) override { ServiceStart(Started); }
  void OnExecute() override { ServiceExecute(); }
  void OnStop(bool& Stopped) override { ServiceStop(Stopped); }
  void OnFinished() override;

 private:
  void OpenListener(int32_t pPort);
  void CreateOutputFolder();
  // Delivers what the spool kept from an earlier run, then again every intervaloReenvioSegundos.
  void DeliverSpool();
  void ScheduleRedelivery();
  void StartAccept();
  void ReleaseClient(TClientSession& session);

  asio::thread_pool lookups_{4};  // reverse look-ups of host names
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer acceptRetry_;
  asio::steady_timer redelivery_;  // the next attempt on what waits in the spool
  std::error_code lastAcceptError_;  // the accept error logged last
  int listeningPort_ = 0;
};
