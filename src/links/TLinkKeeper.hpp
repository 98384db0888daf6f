#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include <asio/any_io_executor.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "links/TLinkStream.hpp"
#include "links/TLinkTarget.hpp"
#include "links/TReconnectPolicy.hpp"

// Opens one configured link (a serial port, or a connection to a port server)
// at the start and keeps it open for ever: an open link goes to `serve`; when
// the session over it ends it reports Lost, and the link is opened again after
// the interval, as often as it takes. What it logs is the policy's
// (TReconnectPolicy): one line per failure reason, one when open again.
//
// Runs on the service loop; opening a serial port does not wait, connecting
// runs asynchronously with its own deadline. Lifetime: shared by the handlers
// of its outstanding wait or connect, so Stop it before letting it go.
class TLinkKeeper : public std::enable_shared_from_this<TLinkKeeper> {
 public:
  using TLog = std::function<void(const std::string& line)>;
  // The open link and its name ("serial:/dev/ttyUSB0", "host:porta").
  using TServe = std::function<void(std::unique_ptr<TLinkStream> stream, const std::string& name)>;

  // How long a connection attempt to a port server may take.
  static constexpr std::chrono::seconds CONNECT_TIMEOUT{10};
  // Probes of an open connection: a port server gone without a word is found
  // after about KEEPALIVE_IDLE + KEEPALIVE_COUNT * KEEPALIVE_INTERVAL.
  static constexpr std::chrono::seconds KEEPALIVE_IDLE{30};
  static constexpr std::chrono::seconds KEEPALIVE_INTERVAL{10};
  static constexpr int KEEPALIVE_COUNT = 3;

  TLinkKeeper(asio::any_io_executor executor, TLinkTarget target, std::chrono::milliseconds interval, TLog log,
              TServe serve, std::chrono::milliseconds connectTimeout = CONNECT_TIMEOUT);

  // The first attempt (posted: serve is never called from inside Start).
  void Start();
  // The session over the served link ended with ec (what its read or write
  // answered; eof when the peer or the device ended it).
  void Lost(const std::error_code& ec);
  void Lost(const TLinkFailure& failure);
  // Ends a running attempt or wait; nothing is opened any more.
  void Stop();

  const TLinkStatus& Status() const { return policy_.status(); }
  const TLinkTarget& target() const { return target_; }

 private:
  // The one place events reach the policy; the action follows.
  void On(linkpolicy::TEvent event, const TLinkFailure& failure = {});
  void Open();
  void OpenSerial();
  void Connect();
  void Connected(const std::error_code& ec);

  asio::any_io_executor executor_;
  TLinkTarget target_;
  std::chrono::milliseconds interval_;
  std::chrono::milliseconds connectTimeout_;
  TLog log_;
  TServe serve_;
  TReconnectPolicy policy_;
  asio::steady_timer retry_;                        // the interval before the next attempt
  asio::steady_timer deadline_;                     // a connection attempt's time
  asio::ip::tcp::resolver resolver_;
  std::unique_ptr<asio::ip::tcp::socket> connecting_;  // the connection being made
  bool timedOut_ = false;                           // the deadline, not the peer, ended the attempt
  std::unique_ptr<TLinkStream> opened_;             // from the open until the policy serves it
};
