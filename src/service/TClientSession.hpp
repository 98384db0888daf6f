#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "protocol/TFrameAssembler.hpp"

class TSocketClient;

// One accepted connection: its socket and everything the listener keeps for it
// between events. Every event of the connection reaches its own record through
// `client`, never through a look-up by id.
class TClientSession {
 public:
  explicit TClientSession(asio::ip::tcp::socket pSocket);

  asio::ip::tcp::socket socket;    // the connection
  asio::steady_timer replyTimer;   // the pause before a reply
  uint64_t serial = 0;             // key among the open sessions
  std::string RemoteHost;          // reverse-looked-up host name ("" when unknown)
  int RemotePort = 0;              // peer's port
  std::string id;                  // client id, formed once when the look-up ended
  TSocketClient* client = nullptr; // its record in global->clients (owned by the list)
  TFrameAssembler frames;          // ASTM frames split across reads
  std::deque<std::string> chunks;  // received chunks not yet handed to reception
  bool reading = false;            // a read is outstanding
  bool readPaused = false;         // reading waits for the write queue to drain
  bool waitingReply = false;       // the pause before a reply is running
  bool closed = false;             // disconnect handled; nothing more happens
  bool closeAfterWrite = false;    // the peer closed its side: close once the replies are out
  std::deque<std::string> writeQueue;  // texts being sent, in order
  size_t writeQueuedBytes = 0;     // bytes in writeQueue
  bool writing = false;            // an async write is outstanding
};
