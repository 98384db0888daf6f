#pragma once
#include <ctime>
#include <memory>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "status/TStatusCollector.hpp"
#include "status/TStatusHttp.hpp"
#include "status/TStatusSetup.hpp"
#include "status/TStatusSnapshot.hpp"

// The status page, /health and /metrics: the collector on the service
// thread, a snapshot published every second, and the HTTP server reading it.
class TStatusService {
 public:
  // setup: what it shows and where it reads it (the composition root fills it).
  TStatusService(TStatusSetup setup, asio::io_context& io);
  ~TStatusService();  // the HTTP thread stops first; it reads the board

  // Takes and publishes the first snapshot, starts the timer and then, unless
  // the port is 0, the HTTP server (a port that cannot be opened is logged; the
  // service runs on).
  void Start();
  TStatusCollector& Collector() { return collector_; }
  // Takes and publishes a snapshot now (after an event worth showing at once).
  void Publish();

 private:
  void Schedule();
  // Into the setup's log (the service log in the service).
  void Log(const std::string& txt) const;

  TFolderWatch folders_;  // the folders, looked at off the service thread
  TStatusCollector collector_;
  TStatusBoard board_;
  asio::steady_timer timer_;
  std::unique_ptr<TStatusHttp> http_;
};
