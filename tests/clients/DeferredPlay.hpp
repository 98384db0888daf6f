#pragma once
// A capture played through a record whose outside waits (a host query for the
// LIS, a message for the disk), read by read, against the same record that
// gets its answers at once: the shared harness of the deferred-wait suites.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ClientFixture.hpp"
#include "clients/TSocketClient.hpp"
#include "protocol/TLinkReceiver.hpp"
#include "support/DemoLis.hpp"
#include "support/TestSupport.hpp"

namespace kvtest {

// The demo laboratory's devices and orders.
inline void FillDemoLis(ClientEnv& env) {
  for (const char* d : {"XN-550", "Indiko", "BC-5380"}) demo::AddDevice(env.lis, d);
  for (const demo::Order& o : demo::Orders()) demo::AddOrder(env.lis, o.code);
}

// What a capture gave: the log, every item queued in order, the archive files,
// and how often the record waited for its outside.
struct TPlayed {
  std::string log;
  std::string replies;
  std::vector<std::pair<std::string, std::string>> files;
  size_t waits = 0;
};

// One outside a record may wait for, as a test plays it.
struct TOutside {
  std::string what;                                      // "the LIS", "the disk"
  std::function<void(TClientContext&, bool)> setDeferred;  // the context's switch
  std::function<bool(const TSocketClient&)> pending;       // something waits now
  // Takes what waits and answers it (waits: how many so far, this one included).
  std::function<void(TSocketClient&, ClientEnv&, size_t waits)> answer;
};

// Plays the capture read by read; with `deferred`, whatever waits is answered
// after the event that raised it, as the connection layer does.
inline TPlayed PlayCapture(const std::string& stream, bool deferred, size_t readSize, const TOutside& outside) {
  using Event = TLinkReceiver::TEvent;
  ClientEnv env;
  FillDemoLis(env);
  TClientContext context = env.Context();
  outside.setDeferred(context, deferred);
  TSocketClient client("h:1", env.saida, context);
  TLinkReceiver link;
  TPlayed o;
  auto collect = [&] {
    for (const std::string& item : client.outputBuffer) o.replies += Repr(item) + "|";
    client.outputBuffer.clear();
  };
  for (size_t from = 0; from < stream.size(); from += readSize) {
    for (const Event& e : link.Feed(stream.substr(from, readSize), client.inTransferPhase)) {
      if (e.kind == Event::Ack || e.kind == Event::Nak) continue;
      EXPECT_FALSE(outside.pending(client)) << "input reached a record that waits for " << outside.what;
      client.ReadEvent(e);
      collect();
      while (outside.pending(client)) {
        outside.answer(client, env, ++o.waits);
        collect();
      }
    }
  }
  o.log = env.Log();
  for (const std::string& f : env.Files()) o.files.emplace_back(f, env.File(f));
  return o;
}

// Every ASTM and HL7 capture, whole and in 7-byte reads: waiting gives the
// same replies, files and log as answering at once. Answers the waits in all.
inline size_t ExpectWaitingGivesWhatAtOnceGives(const TOutside& outside,
                                                const std::function<void(const TPlayed& now, const TPlayed& later)>& more = {}) {
  std::vector<std::string> captures = TestDataFiles("astm");
  for (const std::string& f : TestDataFiles("hl7")) captures.push_back(f);
  size_t waits = 0;
  for (const std::string& path : captures) {
    const std::string stream = ReadFile(path);
    for (size_t readSize : {stream.size(), size_t{7}}) {
      SCOPED_TRACE(path + " in reads of " + std::to_string(readSize));
      const TPlayed now = PlayCapture(stream, false, readSize, outside);
      const TPlayed later = PlayCapture(stream, true, readSize, outside);
      EXPECT_EQ(later.replies, now.replies);
      EXPECT_EQ(later.files, now.files);
      EXPECT_EQ(later.log, now.log);
      if (more) more(now, later);
      waits += later.waits;
    }
  }
  return waits;
}

}  // namespace kvtest
