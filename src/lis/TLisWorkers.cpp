#include "lis/TLisWorkers.hpp"

#include <condition_variable>
#include <deque>
#include <exception>
#include <list>
#include <mutex>
#include <string>
#include <thread>

using Clock = std::chrono::steady_clock;

namespace {

struct TJob {
  TLisWorkers::Work work;
  TLisWorkers::Done done;
  Clock::time_point deadline;
  bool settled = false;  // answered (or dropped at the stop): nothing more goes to done
};

// One worker thread's state, shared by the thread and the watchdog.
struct TWorker {
  std::shared_ptr<TJob> current;                    // the job inside a lookup now
  TLisWorkers::TConnection* connection = nullptr;   // for Cancel(), while it exists
  bool leftBehind = false;                          // its job ran out of time
};

}  // namespace

struct TLisWorkers::Shared {
  TOptions options;
  Make make;
  mutable std::mutex m;
  std::condition_variable jobs;     // workers wait here for work
  std::condition_variable watch;    // the watchdog waits here for the next deadline
  std::condition_variable exited;   // Stop() waits here for busy workers
  std::deque<std::shared_ptr<TJob>> queue;
  std::list<std::shared_ptr<TWorker>> workers;  // every live thread's state
  int active = 0;      // workers that take jobs (not left behind)
  int leftBehind = 0;  // workers left behind and still inside their lookup
  int threads = 0;     // worker threads alive
  bool stopping = false;

  std::string TimeoutText() const {
    return "o LIS n\xE3o respondeu em " + std::to_string(options.timeout.count() / 1000) + " s";
  }
  // Answers a job unless it was answered already; under m, so that no answer
  // can follow Stop().
  static void Settle(TJob& job, TLisAnswer answer) {
    if (job.settled) return;
    job.settled = true;
    job.done(std::move(answer));
  }
  std::weak_ptr<Shared> self;  // for the threads this starts

  // Starts a worker thread; under m.
  void StartWorker();
  void WorkerLoop(const std::shared_ptr<TWorker>& me);
  void Watchdog();
};

void TLisWorkers::Shared::StartWorker() {
  auto me = std::make_shared<TWorker>();
  workers.push_back(me);
  ++active;
  ++threads;
  std::thread([shared = self.lock(), me] { shared->WorkerLoop(me); }).detach();
}

void TLisWorkers::Shared::WorkerLoop(const std::shared_ptr<TWorker>& me) {
  std::unique_ptr<TConnection> connection;
  for (;;) {
    std::shared_ptr<TJob> job;
    {
      std::unique_lock<std::mutex> lock(m);
      jobs.wait(lock, [&] { return stopping || !queue.empty(); });
      if (stopping) break;
      job = std::move(queue.front());
      queue.pop_front();
      me->current = job;
    }
    TLisAnswer answer;
    try {
      if (!connection) {
        connection = make();
        std::lock_guard<std::mutex> lock(m);
        me->connection = connection.get();
      }
      answer = job->work(*connection);
    } catch (const std::exception& e) {
      answer = NoAnswer(e.what());
    }
    bool wasLeftBehind = false;
    {
      std::lock_guard<std::mutex> lock(m);
      me->current.reset();
      Settle(*job, std::move(answer));
      wasLeftBehind = me->leftBehind;
      if (wasLeftBehind) {
        --leftBehind;
        me->connection = nullptr;
      }
    }
    exited.notify_all();
    if (!wasLeftBehind) continue;
    // Whatever the attachment went through, it is not used again.
    connection.reset();
    std::lock_guard<std::mutex> lock(m);
    if (stopping || active >= options.threads) break;
    me->leftBehind = false;  // back among the workers, with a new attachment
    ++active;
  }
  {
    std::lock_guard<std::mutex> lock(m);
    me->connection = nullptr;
  }
  connection.reset();
  std::lock_guard<std::mutex> lock(m);
  if (!me->leftBehind) --active;
  workers.remove(me);
  --threads;
  exited.notify_all();
}

void TLisWorkers::Shared::Watchdog() {
  std::unique_lock<std::mutex> lock(m);
  while (!stopping) {
    const auto now = Clock::now();
    auto next = now + std::chrono::hours(1);
    for (auto it = queue.begin(); it != queue.end();) {
      if ((*it)->deadline <= now) {
        Settle(**it, NoAnswer(TimeoutText()));
        it = queue.erase(it);
      } else {
        next = std::min(next, (*it)->deadline);
        ++it;
      }
    }
    int replace = 0;
    for (const auto& w : workers) {
      if (!w->current || w->leftBehind) continue;
      if (w->current->deadline > now) {
        next = std::min(next, w->current->deadline);
        continue;
      }
      Settle(*w->current, NoAnswer(TimeoutText()));
      w->leftBehind = true;
      --active;
      ++leftBehind;
      if (w->connection) w->connection->Cancel();
      if (leftBehind <= options.maxLeftBehind) ++replace;
    }
    for (int i = 0; i < replace; ++i) StartWorker();
    watch.wait_until(lock, next);
  }
  --threads;
  exited.notify_all();
}

TLisWorkers::TLisWorkers(TOptions options, Make make) : shared_(std::make_shared<Shared>()) {
  shared_->options = options;
  if (shared_->options.threads < 1) shared_->options.threads = 1;
  shared_->make = std::move(make);
  shared_->self = shared_;
  std::lock_guard<std::mutex> lock(shared_->m);
  for (int i = 0; i < shared_->options.threads; ++i) shared_->StartWorker();
  ++shared_->threads;
  std::thread([shared = shared_] { shared->Watchdog(); }).detach();
}

TLisWorkers::~TLisWorkers() { Stop(); }

void TLisWorkers::Run(Work work, Done done) {
  auto job = std::make_shared<TJob>();
  job->work = std::move(work);
  job->done = std::move(done);
  job->deadline = Clock::now() + shared_->options.timeout;
  {
    std::lock_guard<std::mutex> lock(shared_->m);
    if (shared_->stopping) return;  // the service is going: nobody waits for the answer
    shared_->queue.push_back(std::move(job));
  }
  shared_->jobs.notify_one();
  shared_->watch.notify_one();
}

void TLisWorkers::Stop(std::chrono::milliseconds grace) {
  std::unique_lock<std::mutex> lock(shared_->m);
  if (!shared_->stopping) {
    shared_->stopping = true;
    // Nobody waits for these answers any more.
    for (auto& job : shared_->queue) job->settled = true;
    shared_->queue.clear();
    for (auto& w : shared_->workers)
      if (w->current) {
        w->current->settled = true;
        if (w->connection) w->connection->Cancel();
      }
  }
  shared_->jobs.notify_all();
  shared_->watch.notify_all();
  shared_->exited.wait_for(lock, grace, [&] { return shared_->threads == 0; });
}

int TLisWorkers::ThreadsLeft() const {
  std::lock_guard<std::mutex> lock(shared_->m);
  return shared_->threads;
}

int TLisWorkers::LeftBehind() const {
  std::lock_guard<std::mutex> lock(shared_->m);
  return shared_->leftBehind;
}
