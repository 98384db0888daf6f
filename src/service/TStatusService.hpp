#pragma once
#include <ctime>
#include <memory>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "service/TStatusCollector.hpp"
#include "service/TStatusHttp.hpp"
#include "service/TStatusSnapshot.hpp"

class TGlobal;

// The status page, /health and /metrics: the collector on the service
// thread, a snapshot published every second, and the HTTP server reading it.
class TStatusService {
 public:
  TStatusService(TGlobal& g, asio::io_context& io);
  ~TStatusService();  // the HTTP thread stops first; it reads the board

  // Publishes the first snapshot, starts the timer and, unless portaStatus is
  // 0, the HTTP server (a port that cannot be opened is logged; the service runs on).
  void Start();
  TStatusCollector& Collector() { return collector_; }
  // Takes and publishes a snapshot now (after an event worth showing at once).
  void Publish();

 private:
  void Schedule();

  TGlobal& g_;
  TStatusCollector collector_;
  TStatusBoard board_;
  asio::steady_timer timer_;
  std::unique_ptr<TStatusHttp> http_;
};
