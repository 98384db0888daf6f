#pragma once
#include <chrono>
#include <functional>
#include <memory>

#include "lis/TLisQuery.hpp"

// The LIS lookups on a few threads of their own, so that a slow or hung LIS
// never holds up the service thread. Each worker keeps one lookups object
// (with its own database attachment) for as long as it lives.
//
// Every job is answered exactly once: by its worker, or, when the LIS has not
// answered within the timeout, with NoAnswer. A worker whose lookup ran out
// of time is left behind (its attachment is asked to cancel, and is dropped
// when the call finally returns) and another thread takes its place, so a
// hung LIS costs threads only up to a bound, never the service's answers.
class TLisWorkers {
 public:
  // A worker's way into the LIS; Cancel() is called from another thread.
  class TConnection {
   public:
    virtual ~TConnection() = default;
    virtual TLisLookups& Lookups() = 0;
    // The start-up check ("select 1 from rdb$database"): its rows in `pedido`,
    // or the driver's message in erroPedido.
    virtual TLisAnswer Check() = 0;
    // Asks the LIS to abandon what runs on this connection now.
    virtual void Cancel() {}
    // The database layer's message of the last failed statement ("" after a good one).
    virtual std::string LastError() const { return {}; }
  };
  using Make = std::function<std::unique_ptr<TConnection>()>;
  using Work = std::function<TLisAnswer(TConnection&)>;
  using Done = std::function<void(TLisAnswer)>;

  struct TOptions {
    int threads = 2;                            // workers (threadsLis)
    std::chrono::milliseconds timeout{5000};    // for one job, queueing included (timeoutLisSegundos)
    int maxLeftBehind = 8;                      // workers stuck in the LIS before no more are replaced
  };

  // make is called on each worker's own thread when it first needs the LIS.
  TLisWorkers(TOptions options, Make make);
  ~TLisWorkers();  // Stop()
  TLisWorkers(const TLisWorkers&) = delete;
  TLisWorkers& operator=(const TLisWorkers&) = delete;

  // Runs work on a free worker; done gets its answer, or NoAnswer(why) when
  // none came in time. done runs on a worker or the watchdog thread, never
  // after Stop() returned.
  void Run(Work work, Done done);
  // Ends the threads: pending jobs are dropped unanswered; idle workers end at
  // once, a worker inside a lookup is waited for up to `grace`, then left.
  void Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(1000));
  // Worker threads still alive after Stop() (stuck in the LIS).
  int ThreadsLeft() const;
  // Workers left behind in a lookup that ran out of time, still inside it.
  int LeftBehind() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};
