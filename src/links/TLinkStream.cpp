#include "links/TLinkStream.hpp"

#include <type_traits>
#include <utility>

#include <asio/write.hpp>

namespace {

template <class Stream>
class TAsioLinkStream final : public TLinkStream {
 public:
  explicit TAsioLinkStream(Stream stream) : stream_(std::move(stream)) {}

  void AsyncReadSome(asio::mutable_buffer buffer, THandler handler) override {
    stream_.async_read_some(buffer, std::move(handler));
  }
  void AsyncWrite(asio::const_buffer buffer, THandler handler) override {
    asio::async_write(stream_, buffer, std::move(handler));
  }
  void Close() override {
    std::error_code ignored;
    if constexpr (std::is_same_v<Stream, asio::ip::tcp::socket>)
      stream_.shutdown(asio::socket_base::shutdown_both, ignored);
    stream_.close(ignored);
  }
  asio::any_io_executor executor() override { return stream_.get_executor(); }

 private:
  Stream stream_;
};

}  // namespace

std::unique_ptr<TLinkStream> MakeLinkStream(asio::ip::tcp::socket socket) {
  return std::make_unique<TAsioLinkStream<asio::ip::tcp::socket>>(std::move(socket));
}

std::unique_ptr<TLinkStream> MakeLinkStream(asio::serial_port port) {
  return std::make_unique<TAsioLinkStream<asio::serial_port>>(std::move(port));
}
