#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <system_error>

#include <asio/any_io_executor.hpp>
#include <asio/buffer.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/serial_port.hpp>

// The bytes of one analyzer link, whatever carries them: a TCP connection
// (accepted, or made to a port server) or a serial port. A session reads and
// writes through this and never needs to know which.
class TLinkStream {
 public:
  using THandler = std::function<void(const std::error_code& ec, std::size_t bytes)>;

  virtual ~TLinkStream() = default;
  // Completes as soon as at least one byte has arrived (up to the buffer's
  // size), or with the error that ended the link (eof: the peer or the device
  // ended it).
  virtual void AsyncReadSome(asio::mutable_buffer buffer, THandler handler) = 0;
  // Completes when the whole buffer was taken, or with the error.
  virtual void AsyncWrite(asio::const_buffer buffer, THandler handler) = 0;
  // Closes the link; outstanding operations complete with operation_aborted.
  virtual void Close() = 0;
  virtual asio::any_io_executor executor() = 0;
};

std::unique_ptr<TLinkStream> MakeLinkStream(asio::ip::tcp::socket socket);
std::unique_ptr<TLinkStream> MakeLinkStream(asio::serial_port port);
