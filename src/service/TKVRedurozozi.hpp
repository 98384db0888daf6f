#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>
#include <string>
#include <system_error>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>

#include "links/TLinkKeeper.hpp"
#include "lis/TLisQuery.hpp"
#include "service/TClientSession.hpp"
#include "host/TService.hpp"
#include "service/TSessionHost.hpp"
#include "status/TStatusService.hpp"

class TSocketClient;

// The service object: start-up, main loop and stop, and the TCP listener.
// Each connection reads, handles and sends on its own (TClientSession); it
// reaches the service only as its TSessionHost, where the connection events
// make, log, count and release the client records.
class TKVRedurozozi : public TService, private TSessionHost {
 public:
  static constexpr const char* SERVICE_NAME = "KVRedurozozi";
  static constexpr const char* DISPLAY_NAME = "Tevarin (Redurozozi)";
  // Unconsumed input above which a client is disconnected.
  static constexpr size_t MAX_INPUT_BYTES = 16u * 1024u * 1024u;
  // Largest single read handed to reception.
  static constexpr size_t MAX_READ_BYTES = 1024u * 1024u;
  // Queued output above which the connection is not read until it drains.
  static constexpr size_t MAX_WRITE_BACKLOG = 1024u * 1024u;
  // At the stop, how long the replies already made may take to be written.
  static constexpr std::chrono::milliseconds STOP_WRITE_TIME{2000};
  // Then how long the disk may take to keep what the closed connections
  // handed over (a thread stuck in a hung folder is left behind after it).
  static constexpr std::chrono::milliseconds STOP_DISK_TIME{2000};

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

  // --- listener (TKVRedurozoziSocket.cpp)
  void ServerSocketListen();

  // --- the design's connection events and sending, as entry points into a
  // connection's session (nothing inside calls them; TKVRedurozoziSocket.cpp)
  // Client id: host name ":" port.
  static std::string GetClientID(const std::string& pRemoteHost, int pRemotePort);
  void ServerSocketClientConnect(TClientSession& Socket);
  void ServerSocketClientDisconnect(TClientSession& Socket);
  void ServerSocketClientRead(TClientSession& Socket, const std::string& pChunk);
  void SendFromOutputBuffer(TClientSession& pSocket);
  void handleReply(TClientSession& pSocket);
  void SendMessageByBlock(TClientSession& pSocket);

  // Runs a host query's lookups on the LIS workers; done gets the answer on the loop.
  void RunLisQuery(TLisQuery query, std::function<void(TLisAnswer)> done) override;
  // Has the disk keep a result message; done (when given) gets the outcome on the loop.
  void Keep(TKeepRequest request, std::function<void(TKept)> done) override;

  // Port the listener is bound to (the system's choice when configured 0).
  int ListeningPort() const { return listeningPort_; }

  // Each link the service opens itself (portaSerial, conectarEm): the analyzer's modelo and the link's state.
  struct TLinkState {
    std::string modelo;
    TLinkStatus status;
  };
  std::vector<TLinkState> LinkStates() const;

  // The analyzer refused an item of ours (counted for the status page and metrics).
  void NakReceived(TSocketClient& client) override;
  // The status collector once the status service runs; null before.
  TStatusCollector* Status() { return status_ ? &status_->Collector() : nullptr; }

  // Public so that sessions report the errors that escape their handlers.
  void ReportError(const std::string& text) override;

 protected:
  void OnStart(bool& Started) override { ServiceStart(Started); }
  void OnExecute() override { ServiceExecute(); }
  void OnStop(bool& Stopped) override { ServiceStop(Stopped); }
  void OnFinished() override;
  void OnAfterInstall() override { ServiceAfterInstall(); }

 private:
  // The start-up database check, on a LIS worker, bounded by timeoutLisSegundos.
  void CheckDatabase();
  // A host query's lookups for the status page and metrics (any thread).
  void RecordLookup(const TLisAnswer& answer, std::chrono::steady_clock::duration took);
  void OpenListener(int32_t pPort);
  // Makes the output folder with its parents when missing (on the delivery's thread).
  void CreateOutputFolder();
  // Starts the disk's threads: what the spool kept from an earlier run is
  // read and delivered in the background, so the port opens at once.
  void StartDisk();
  void StartAccept();
  // What a new session is told: the configuration's link settings and the bounds above.
  TSessionSettings SessionSettings() const;
  // The open sessions are kept (weakly) for the stop.
  void KeepSession(const std::shared_ptr<TClientSession>& session);

  // --- the links the service opens itself (TKVRedurozoziLinks.cpp)
  // One keeper per configured analyzer with portaSerial or conectarEm; each opens its link now.
  void StartLinks();
  // Nothing is opened any more (the stop).
  void StopLinks();
  // A keeper opened its link: it is served by a session, as an accepted connection is.
  void ServeLink(TLinkKeeper& keeper, bool controlWithoutCrLf, std::unique_ptr<TLinkStream> stream,
                 const std::string& name);
  // A session's record closed: when it was a link's, its keeper opens it again.
  void LinkEnded(const TSocketClient& client, const std::error_code& how);

  // --- TSessionHost (TKVRedurozoziSocket.cpp)
  TSocketClient& Connected(const std::string& id) override;
  void Received(const std::string& id, const std::string& chunk) override;
  void ReadHandled(const TSocketClient& client) override;
  void Disconnected(const std::string& id, TSocketClient& client, const std::error_code& how) override;
  void ConnectionFailed(const std::string& id, const std::error_code& ec) override;
  void Log(const std::string& text) override;
  // After the stop request: no new connection, no new input; the replies
  // already made go out within STOP_WRITE_TIME, then every connection closes.
  void CloseConnections();
  // The status page, /health and /metrics, and the counting they show (TKVRedurozoziStatus.cpp).
  void StartStatus();
  void StopStatus();

  asio::thread_pool lookups_{4};  // reverse look-ups of host names
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer acceptRetry_;
  std::error_code lastAcceptError_;  // the accept error logged last
  int listeningPort_ = 0;
  std::unique_ptr<TStatusService> status_;
  // The open connections, for the stop; a session is owned by its pending handlers.
  std::vector<std::weak_ptr<TClientSession>> sessions_;
  bool stopping_ = false;
  struct TLink {
    std::string modelo;
    std::shared_ptr<TLinkKeeper> keeper;
  };
  std::vector<TLink> links_;
  TLinkKeeper* connectingLink_ = nullptr;                       // whose session is making its record
  std::map<const TSocketClient*, TLinkKeeper*> linkRecords_;  // the records of the links' sessions
};
