#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <system_error>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>

#include "service/TClientSession.hpp"
#include "service/TService.hpp"

class TSocketClient;

// The service object: start-up, main loop and stop, the TCP listener with its
// connection events, and the sending of queued replies.
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

  // --- transmission (TKVRedurozoziSend.cpp)
  void SendFromOutputBuffer(TClientSession& pSocket, TSocketClient& client);
  void handleReply(TClientSession& pSocket, TSocketClient& pClient);
  void SendMessageByBlock(TClientSession& pSocket, TSocketClient& pClient);

  // Port the listener is bound to (the system's choice when configured 0).
  int ListeningPort() const { return listeningPort_; }

 protected:
  void OnStart(bool& Started) override { ServiceStart(Started); }
  void OnExecute() override { ServiceExecute(); }
  void OnStop(bool& Stopped) override { ServiceStop(Stopped); }
  void ReportError(const std::string& text) override;

 private:
  void OpenListener(int32_t pPort);
  void CreateOutputFolder();
  void StartAccept();
  void LookupHost(const std::shared_ptr<TClientSession>& session);
  void StartRead(TClientSession& session);
  void ReadAvailable(TClientSession& session);
  // Hands queued chunks to reception, pausing before each reply.
  void ProcessChunks(TClientSession& session);
  // Disconnects a client over the input bound; true when it did.
  bool CheckInputBound(TClientSession& session);
  void CloseSession(TClientSession& session);
  void ReleaseClient(TClientSession& session);
  // Queues text for the connection; writes keep their order and complete.
  void SendText(TClientSession& session, std::string text);
  void WriteNext(TClientSession& session);
  std::shared_ptr<TClientSession> Find(const TClientSession& session) const;

  asio::thread_pool lookups_{4};  // reverse look-ups of host names
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer acceptRetry_;
  std::error_code lastAcceptError_;  // the accept error logged last
  std::map<uint64_t, std::shared_ptr<TClientSession>> sessions_;
  uint64_t nextSerial_ = 0;
  int listeningPort_ = 0;
};
