#include "links/TLinkKeeper.hpp"

#include <ctime>
#include <exception>
#include <utility>

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/serial_port.hpp>

#include "host/KeepAlive.hpp"
#include "links/SerialLink.hpp"

using linkpolicy::TAction;
using linkpolicy::TEvent;

TLinkKeeper::TLinkKeeper(asio::any_io_executor executor, TLinkTarget target, std::chrono::milliseconds interval,
                         TLog log, TServe serve, std::chrono::milliseconds connectTimeout)
    : executor_(executor),
      target_(std::move(target)),
      interval_(interval),
      connectTimeout_(connectTimeout),
      log_(std::move(log)),
      serve_(std::move(serve)),
      policy_(target_.Name(), interval),
      retry_(executor),
      deadline_(executor),
      resolver_(executor) {}

void TLinkKeeper::Start() {
  asio::post(executor_, [self = shared_from_this()] { self->On(TEvent::Start); });
}

void TLinkKeeper::Lost(const std::error_code& ec) { Lost(LostFailure(target_.kind, ec)); }

void TLinkKeeper::Lost(const TLinkFailure& failure) { On(TEvent::Lost, failure); }

void TLinkKeeper::Stop() { On(TEvent::Stop); }

void TLinkKeeper::On(TEvent event, const TLinkFailure& failure) {
  const linkpolicy::TStep step = policy_.Step(event, failure, std::time(nullptr));
  if (!step.logLine.empty()) log_(step.logLine);
  // A link opened just as the service stopped is not served: it closes here.
  std::unique_ptr<TLinkStream> opened = std::move(opened_);
  switch (step.action) {
    case TAction::None: return;
    case TAction::Open: Open(); return;
    case TAction::Serve:
      try {
        serve_(std::move(opened), target_.Name());
      } catch (const std::exception& e) {
        // No session took the link: it counts as lost, and is opened again.
        On(TEvent::Lost, {TLinkFailureKind::Other, e.what()});
      }
      return;
    case TAction::WaitThenOpen:
      retry_.expires_after(interval_);
      retry_.async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (!ec) self->On(TEvent::RetryTime);
      });
      return;
    case TAction::Cancel: {
      retry_.cancel();
      deadline_.cancel();
      resolver_.cancel();
      std::error_code ignored;
      if (connecting_) connecting_->close(ignored);
      return;
    }
  }
}

void TLinkKeeper::Open() {
  if (target_.kind == TLinkTarget::TKind::Serial)
    OpenSerial();
  else
    Connect();
}

void TLinkKeeper::OpenSerial() {
  asio::serial_port port(executor_);
  const TLinkFailure failure = OpenSerialLink(port, target_.device, target_.settings);
  if (failure.kind != TLinkFailureKind::None) {
    On(TEvent::OpenFailed, failure);
    return;
  }
  opened_ = MakeLinkStream(std::move(port));
  On(TEvent::Opened);
}

void TLinkKeeper::Connect() {
  timedOut_ = false;
  connecting_ = std::make_unique<asio::ip::tcp::socket>(executor_);
  deadline_.expires_after(connectTimeout_);
  deadline_.async_wait([self = shared_from_this()](const std::error_code& ec) {
    if (ec) return;
    self->timedOut_ = true;
    self->resolver_.cancel();
    std::error_code ignored;
    if (self->connecting_) self->connecting_->close(ignored);
  });
  // The name look-up runs on Asio's own helper thread, never on the loop.
  resolver_.async_resolve(
      target_.host, std::to_string(target_.port),
      [self = shared_from_this()](const std::error_code& ec, asio::ip::tcp::resolver::results_type results) {
        if (ec || !self->connecting_) {
          self->Connected(ec ? ec : asio::error::operation_aborted);
          return;
        }
        asio::async_connect(*self->connecting_, results,
                            [self](const std::error_code& e, const asio::ip::tcp::endpoint&) { self->Connected(e); });
      });
}

void TLinkKeeper::Connected(const std::error_code& ec) {
  deadline_.cancel();
  std::unique_ptr<asio::ip::tcp::socket> socket = std::move(connecting_);
  if (ec || !socket) {
    On(TEvent::OpenFailed, timedOut_ ? TLinkFailure{TLinkFailureKind::NoAnswer, ""} : ConnectFailure(ec));
    return;
  }
  std::error_code ignored;
  socket->set_option(asio::ip::tcp::no_delay(true), ignored);
  SetKeepAlive(*socket, KEEPALIVE_IDLE, KEEPALIVE_INTERVAL, KEEPALIVE_COUNT);
  opened_ = MakeLinkStream(std::move(*socket));
  On(TEvent::Opened);
}
