// The LIS worker pool with fake connections: answers, deadlines, workers left
// behind in a hung LIS and replaced, the stop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "lis/TLisWorkers.hpp"

using namespace std::chrono_literals;

namespace {

// What the fake LIS does: answer at once, or hold every lookup until released.
struct FakeLisState {
  std::mutex m;
  std::condition_variable cv;
  bool hung = false;
  int made = 0;       // connections made (one per worker, plus one per replacement)
  int cancels = 0;
  int inside = 0;     // lookups inside the LIS now
  void Release() {
    std::lock_guard<std::mutex> lock(m);
    hung = false;
    cv.notify_all();
  }
};

class FakeLookups : public TLisLookups {
 public:
  std::unique_ptr<TAparelhoTevarin> GetAparelhoTevarin(const TAnalisador&) override { return nullptr; }
  std::unique_ptr<TResultTable> GetDadosProtocolo(const TAnalisador&, const std::string& code) override {
    auto t = std::make_unique<TResultTable>();
    t->columns.push_back({"ped_cod", 0});
    t->rows.push_back({TDbValue(static_cast<int64_t>(std::stoll(code)))});
    return t;
  }
  std::unique_ptr<TResultTable> GetExamesProtocolo(const TAnalisador&, int32_t) override { return nullptr; }
};

class FakeConnection : public TLisWorkers::TConnection {
 public:
  explicit FakeConnection(FakeLisState& s) : s_(s) {}
  TLisLookups& Lookups() override {
    std::unique_lock<std::mutex> lock(s_.m);
    ++s_.inside;
    s_.cv.wait(lock, [&] { return !s_.hung; });
    --s_.inside;
    return lookups_;
  }
  TLisAnswer Check() override { return {}; }
  void Cancel() override {
    std::lock_guard<std::mutex> lock(s_.m);
    ++s_.cancels;
  }

 private:
  FakeLisState& s_;
  FakeLookups lookups_;
};

TLisWorkers::Make MakeFake(FakeLisState& s) {
  return [&s] {
    std::lock_guard<std::mutex> lock(s.m);
    ++s.made;
    return std::make_unique<FakeConnection>(s);
  };
}

TLisWorkers::Work Lookup(int code) {
  return [code](TLisWorkers::TConnection& c) {
    TLisQuery q;
    q.codigo = std::to_string(code);
    return LookUpQuery(c.Lookups(), q);
  };
}

// Collects answers by code (-1: no answer) with the time each arrived.
struct Answers {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::pair<int, std::string>> got;  // ped_cod or -1, and semResposta
  TLisWorkers::Done For() {
    return [this](TLisAnswer a) {
      std::lock_guard<std::mutex> lock(m);
      got.emplace_back(a.Encontrado() ? static_cast<int>(a.pedido->AsInteger("ped_cod")) : -1, a.semResposta);
      cv.notify_all();
    };
  }
  bool WaitFor(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, limit, [&] { return got.size() >= n; });
  }
};

bool Eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = 3000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return cond();
}

}  // namespace

TEST(LisWorkers, EveryJobIsAnsweredOnceByItsOwnLookup) {
  FakeLisState lis;
  Answers answers;
  {
    TLisWorkers workers({2, 2000ms, 8}, MakeFake(lis));
    for (int i = 1; i <= 50; ++i) workers.Run(Lookup(i), answers.For());
    ASSERT_TRUE(answers.WaitFor(50, 5000ms));
    workers.Stop();
    EXPECT_EQ(workers.ThreadsLeft(), 0);
  }
  std::vector<int> codes;
  for (auto& [code, why] : answers.got) {
    codes.push_back(code);
    EXPECT_EQ(why, "");
  }
  std::sort(codes.begin(), codes.end());
  for (int i = 1; i <= 50; ++i) EXPECT_EQ(codes[i - 1], i);
  EXPECT_LE(lis.made, 2);  // each worker keeps its connection
}

TEST(LisWorkers, AHungLisIsAnsweredAtTheDeadlineAndTheWorkerIsReplaced) {
  FakeLisState lis;
  lis.hung = true;
  Answers answers;
  TLisWorkers workers({1, 300ms, 8}, MakeFake(lis));
  const auto start = std::chrono::steady_clock::now();
  workers.Run(Lookup(7), answers.For());
  ASSERT_TRUE(answers.WaitFor(1, 2000ms));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 290ms);
  EXPECT_LT(waited, 1500ms);
  EXPECT_EQ(answers.got[0].first, -1);
  EXPECT_NE(answers.got[0].second.find("o LIS n\xE3o respondeu em"), std::string::npos) << answers.got[0].second;
  EXPECT_TRUE(Eventually([&] {  // the stuck lookup was asked to stop
    std::lock_guard<std::mutex> lock(lis.m);
    return lis.cancels == 1;
  }));
  EXPECT_EQ(workers.LeftBehind(), 1);

  // The LIS answers again: a new worker serves at once, while the old one is still stuck.
  lis.Release();
  workers.Run(Lookup(8), answers.For());
  ASSERT_TRUE(answers.WaitFor(2, 2000ms));
  EXPECT_EQ(answers.got[1].first, 8);
  // The stuck call returned: its late answer is dropped, and it is back among the workers.
  EXPECT_TRUE(Eventually([&] { return workers.LeftBehind() == 0; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(answers.got.size(), 2u);
  workers.Stop();
  EXPECT_EQ(workers.ThreadsLeft(), 0);
}

TEST(LisWorkers, QueuedJobsExpireToo) {
  FakeLisState lis;
  lis.hung = true;
  Answers answers;
  // One worker, no replacement allowed: everything behind the stuck job waits and expires.
  TLisWorkers workers({1, 200ms, 0}, MakeFake(lis));
  for (int i = 1; i <= 3; ++i) workers.Run(Lookup(i), answers.For());
  ASSERT_TRUE(answers.WaitFor(3, 2000ms));
  for (auto& [code, why] : answers.got) {
    EXPECT_EQ(code, -1);
    EXPECT_NE(why, "");
  }
  EXPECT_EQ(workers.LeftBehind(), 1);
  lis.Release();
  // The stuck worker comes back and serves again.
  workers.Run(Lookup(4), answers.For());
  ASSERT_TRUE(answers.WaitFor(4, 2000ms));
  EXPECT_EQ(answers.got[3].first, 4);
}

TEST(LisWorkers, LeftBehindWorkersAreBounded) {
  FakeLisState lis;
  lis.hung = true;
  Answers answers;
  TLisWorkers workers({2, 100ms, 3}, MakeFake(lis));
  // One query after another, as analyzers keep asking a LIS that hangs.
  for (size_t i = 1; i <= 12; ++i) {
    workers.Run(Lookup(static_cast<int>(i)), answers.For());
    ASSERT_TRUE(answers.WaitFor(i, 2000ms));
  }
  // 2 workers, then one replacement per stuck worker up to 3: at most 5 threads inside the LIS.
  EXPECT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(lis.m);
    return lis.inside == 5;
  }));
  std::this_thread::sleep_for(300ms);
  {
    std::lock_guard<std::mutex> lock(lis.m);
    EXPECT_EQ(lis.inside, 5);
    EXPECT_EQ(lis.made, 5);
  }
  // The stop does not wait for the stuck ones beyond its grace.
  const auto start = std::chrono::steady_clock::now();
  workers.Stop(200ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
  EXPECT_GT(workers.ThreadsLeft(), 0);
  lis.Release();
  EXPECT_TRUE(Eventually([&] { return workers.ThreadsLeft() == 0; }));
}

TEST(LisWorkers, NothingIsAnsweredAfterTheStop) {
  FakeLisState lis;
  lis.hung = true;
  std::atomic<int> calls{0};
  TLisWorkers workers({1, 5000ms, 8}, MakeFake(lis));
  workers.Run(Lookup(1), [&](TLisAnswer) { ++calls; });
  workers.Run(Lookup(2), [&](TLisAnswer) { ++calls; });
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(lis.m);
    return lis.inside == 1;
  }));
  workers.Stop(100ms);
  workers.Run(Lookup(3), [&](TLisAnswer) { ++calls; });
  lis.Release();
  EXPECT_TRUE(Eventually([&] { return workers.ThreadsLeft() == 0; }));
  EXPECT_EQ(calls.load(), 0);
}
