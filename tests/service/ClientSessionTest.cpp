// A connection's session on its own: a real socket and a real client record,
// with a host that only records what it is told. No service object and no
// process-wide state exist here, so everything the session needs must come
// from its settings and its host.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>

#include "ServiceHarness.hpp"
#include "clients/TSocketClient.hpp"
#include "protocol/E1381.hpp"
#include "service/TClientSession.hpp"
#include "service/TGlobal.hpp"

using namespace kvtest;

namespace {

// Records the session's calls (made on the loop's thread) for the test's thread.
class RecordingHost : public TSessionHost {
 public:
  explicit RecordingHost(asio::io_context& io) : io_(io) {}

  TSocketClient& Connected(const std::string& id) override {
    std::lock_guard<std::mutex> lock(m_);
    ids_.push_back(id);
    TClientContext context;
    context.lookupsDeferred = true;  // queries come to RunLisQuery
    context.keepDeferred = true;     // result messages come to Keep
    return clients_.AddItem(id, "", context);
  }
  void Received(const std::string&, const std::string& chunk) override { Note("read " + Repr(chunk)); }
  void ReadHandled(const TSocketClient&) override { Note("handled"); }
  void NakReceived(TSocketClient&) override { Note("nak"); }
  void Disconnected(const std::string& id, TSocketClient& client, const std::error_code&) override {
    std::lock_guard<std::mutex> lock(m_);
    notes_.push_back("disconnected " + id);
    clients_.FreeItem(&client);
  }
  void ConnectionFailed(const std::string&, const std::error_code& ec) override { Note("failed " + ec.message()); }
  void RunLisQuery(TLisQuery, std::function<void(TLisAnswer)> done) override {
    Note("query");
    asio::post(io_, [done] { done(NoAnswer("sem LIS no teste")); });
  }
  // Answers at once with `keptAs`, or, while held, when ReleaseKeeps is called.
  void Keep(TKeepRequest request, std::function<void(TKept)> done) override {
    Note("keep " + std::string(request.whenSpoolFails == TWhenSpoolFails::Refuse ? "refuse" : "in memory"));
    std::lock_guard<std::mutex> lock(m_);
    if (!done) return;
    if (holdKeeps_) {
      heldKeeps_.push_back(std::move(done));
      return;
    }
    asio::post(io_, [done, kept = keptAs_] { done(kept); });
  }
  void HoldKeeps(bool hold) {
    std::lock_guard<std::mutex> lock(m_);
    holdKeeps_ = hold;
  }
  void KeepAs(TKept kept) {
    std::lock_guard<std::mutex> lock(m_);
    keptAs_ = std::move(kept);
  }
  // Answers the held keeps (on the loop).
  void ReleaseKeeps() {
    std::lock_guard<std::mutex> lock(m_);
    for (auto& done : heldKeeps_) asio::post(io_, [done, kept = keptAs_] { done(kept); });
    heldKeeps_.clear();
  }
  size_t HeldKeeps() const {
    std::lock_guard<std::mutex> lock(m_);
    return heldKeeps_.size();
  }
  void ReportError(const std::string& text) override { Note("error " + text); }
  void Log(const std::string& text) override { Note("log " + text); }

  std::vector<std::string> Notes() const {
    std::lock_guard<std::mutex> lock(m_);
    return notes_;
  }
  bool Noted(const std::string& prefix) const {
    for (const std::string& n : Notes())
      if (n.rfind(prefix, 0) == 0) return true;
    return false;
  }
  std::string Id() const {
    std::lock_guard<std::mutex> lock(m_);
    return ids_.empty() ? "" : ids_.front();
  }
  size_t Records() const {
    std::lock_guard<std::mutex> lock(m_);
    return clients_.Count();
  }

 private:
  void Note(const std::string& n) {
    std::lock_guard<std::mutex> lock(m_);
    notes_.push_back(n);
  }

  asio::io_context& io_;
  mutable std::mutex m_;
  std::vector<std::string> ids_;
  std::vector<std::string> notes_;
  TSocketClientList clients_;
  bool holdKeeps_ = false;
  TKept keptAs_;
  std::vector<std::function<void(TKept)>> heldKeeps_;
};

TSessionSettings Settings() {
  return {std::chrono::milliseconds(5), std::chrono::seconds(30), std::chrono::seconds(15), false, false,
          16u * 1024u * 1024u, 1024u * 1024u, 1024u * 1024u};
}

std::string Frame(int n, const std::string& record) {
  return astm::EnvelopeASTM(std::to_string(n % 8) + record + "\r") + "\r\n";
}

const std::string kAckCrLf = "\x06\r\n";

class ClientSession : public ::testing::Test {
 protected:
  // Accepts one connection from `peer_` and runs a session on it with these settings.
  void Open(const TSessionSettings& settings) {
    ASSERT_EQ(global, nullptr);  // no process-wide state: the session must not need it
    asio::ip::tcp::acceptor acceptor(io_, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    peer_ = std::make_unique<Peer>(acceptor.local_endpoint().port());
    asio::ip::tcp::socket socket(io_);
    acceptor.accept(socket);
    const asio::ip::tcp::endpoint peer = socket.remote_endpoint();
    session_ = std::make_shared<TClientSession>(host_, settings, MakeLinkStream(std::move(socket)));
    session_->Start(lookups_, peer);
    loop_ = std::thread([this] { io_.run(); });
    ASSERT_TRUE(WaitFor([&] { return !host_.Id().empty(); }));
  }
  void TearDown() override {
    lookups_.join();
    asio::post(io_, [s = session_] {
      if (s) s->Close();
    });
    work_.reset();
    if (loop_.joinable()) loop_.join();
  }
  // Sends the header, query and terminator frames of a query for `sample`, each acknowledged.
  void SendQuery(const std::string& sample) {
    peer_->Send("\x05");
    ASSERT_EQ(Repr(peer_->ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf));
    for (const std::string& f : {Frame(1, "H|\\^&|||XN-550^1|||||||P|LIS2-A2"),
                                 Frame(2, "Q|1|^" + sample + "||^^^ALL||20260109094500|||||||O"), Frame(3, "L|1|N")}) {
      peer_->Send(f);
      ASSERT_EQ(Repr(peer_->ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf));
    }
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
  asio::thread_pool lookups_{1};
  RecordingHost host_{io_};
  std::unique_ptr<Peer> peer_;
  std::shared_ptr<TClientSession> session_;
  std::thread loop_;
};

}  // namespace

TEST_F(ClientSession, ReadsAsksAndSendsThroughItsHostAlone) {
  Open(Settings());
  EXPECT_TRUE(host_.Id().ends_with(":" + std::to_string(peer_->LocalPort()))) << host_.Id();
  SendQuery("4242");
  peer_->Send("\x04");
  // The query went to the host's LIS; its reply opens our transfer.
  ASSERT_EQ(Repr(peer_->ReadUntilEndsWith("\x05\r\n")), Repr("\x05\r\n"));
  EXPECT_TRUE(host_.Noted("query"));
  peer_->Send("\x06");
  const std::string first = peer_->ReadUntilEndsWith("\r\n");
  ASSERT_EQ(first.substr(0, 2), "\x02" "1") << Repr(first);
  peer_->Send("\x15");
  EXPECT_EQ(Repr(peer_->ReadUntilEndsWith("\r\n")), Repr(first));
  ASSERT_TRUE(WaitFor([&] { return host_.Noted("log NAK do analisador: item reenviado (envio 2 de 6)"); }));
  EXPECT_TRUE(host_.Noted("nak"));
  // Every read was logged before reception and counted after it.
  const std::vector<std::string> notes = host_.Notes();
  ASSERT_GE(notes.size(), 2u);
  EXPECT_EQ(notes[0], "read <ENQ>");
  EXPECT_EQ(notes[1], "handled");
  peer_->Close();
  ASSERT_TRUE(WaitFor([&] { return host_.Noted("disconnected " + host_.Id()); }));
  EXPECT_EQ(host_.Records(), 0u);
  EXPECT_FALSE(host_.Noted("error"));
}

TEST_F(ClientSession, DebugAndSingleByteControlsComeFromItsSettings) {
  TSessionSettings settings = Settings();
  settings.debug = true;
  settings.controlWithoutCrLf = true;
  Open(settings);
  peer_->Send("\x05");
  EXPECT_EQ(Repr(peer_->ReadUntilEndsWith("\x06")), Repr("\x06"));
  EXPECT_EQ(Repr(peer_->ReadFor(100ms)), "");
  EXPECT_TRUE(WaitFor([&] { return host_.Noted("log SendFromOutputBuffer(\x06)"); }));
}

TEST_F(ClientSession, AnalyzerSilentDuringOurTransferMeetsItsAnswerTimeout) {
  TSessionSettings settings = Settings();
  settings.answerTimeout = std::chrono::seconds(1);
  Open(settings);
  SendQuery("4243");
  peer_->Send("\x04");
  ASSERT_EQ(Repr(peer_->ReadUntilEndsWith("\x05\r\n")), Repr("\x05\r\n"));
  EXPECT_EQ(Repr(peer_->ReadUntilEndsWith("\x04\r\n", 5000ms)), Repr("\x04\r\n"));
  EXPECT_TRUE(host_.Noted("log Analisador sem resposta por 1 s: transmiss\xE3o encerrada com EOT"));
}

TEST_F(ClientSession, InputOverItsBoundClosesTheConnection) {
  TSessionSettings settings = Settings();
  settings.maxInputBytes = 1024u * 1024u;
  Open(settings);
  try {
    peer_->Send(std::string(2u * 1024u * 1024u, 'x'));  // no line break: nothing can be processed
  } catch (const std::runtime_error&) {
    // closed before it took the rest
  }
  EXPECT_TRUE(peer_->WaitClosed(10000ms));
  ASSERT_TRUE(WaitFor([&] { return host_.Noted("disconnected"); }));
  bool logged = false;
  for (const std::string& n : host_.Notes())
    logged = logged || (n.rfind("log Cliente " + host_.Id() + " desconectado: ", 0) == 0 &&
                        n.ends_with(" bytes recebidos sem processar (limite de 1 MiB)"));
  EXPECT_TRUE(logged);
}

namespace {

std::string Hl7Result(const std::string& id, const std::string& sample) {
  return "\x0bMSH|^~\\&|BC-5380|Mindray|||20240105145707||ORU^R01|" + id + "|P|2.3.1\rPID|1||" + sample +
         "\rOBR|1|" + sample + "||^^^CBC\rOBX|1|NM|WBC||6.2|10*3/uL|4.0-10.0|N|||F\r\x1c\r";
}

size_t Keeps(const RecordingHost& host) {
  size_t n = 0;
  for (const std::string& note : host.Notes())
    if (note.rfind("keep ", 0) == 0) ++n;
  return n;
}

}  // namespace

// The ACK^R01 follows the disk's word that the message is kept, and the next
// message of the same read waits for it; the loop serves others meanwhile.
TEST_F(ClientSession, AnHl7ResultIsAcknowledgedOnlyOnceTheDiskKeptIt) {
  host_.HoldKeeps(true);
  Open(Settings());
  peer_->Send(Hl7Result("71", "S1") + Hl7Result("72", "S2"));
  ASSERT_TRUE(WaitFor([&] { return host_.HeldKeeps() == 1; }));
  EXPECT_TRUE(host_.Noted("keep refuse"));  // HL7: a spool that fails refuses it
  EXPECT_EQ(Repr(peer_->ReadFor(300ms)), "");  // no ACK while it is not kept
  EXPECT_EQ(Keeps(host_), 1u);                 // and the second message waits behind it
  host_.ReleaseKeeps();
  const std::string first = peer_->ReadUntilEndsWith("\x1c\r");
  EXPECT_NE(first.find("MSA|AA|71|"), std::string::npos) << Repr(first);
  ASSERT_TRUE(WaitFor([&] { return host_.HeldKeeps() == 1; }));
  EXPECT_EQ(Keeps(host_), 2u);
  host_.ReleaseKeeps();
  const std::string second = peer_->ReadUntilEndsWith("\x1c\r");
  EXPECT_NE(second.find("MSA|AA|72|"), std::string::npos) << Repr(second);
  EXPECT_FALSE(host_.Noted("error"));
}

// (The record logs the refusal into its own log, which this host has not.)
TEST_F(ClientSession, AnHl7ResultTheSpoolRefusesGetsNoAckAndTheConnectionGoesOn) {
  host_.KeepAs(TKept{TKeptAs::Refused, "N\xE3o foi poss\xEDvel gravar na fila /x: No space left on device"});
  Open(Settings());
  peer_->Send(Hl7Result("73", "S3"));
  ASSERT_TRUE(WaitFor([&] { return Keeps(host_) == 1; }));
  EXPECT_EQ(Repr(peer_->ReadFor(300ms)), "");
  // The analyzer sends it again once the spool takes it: now it is acknowledged.
  host_.KeepAs(TKept{});
  peer_->Send(Hl7Result("73", "S3"));
  const std::string ack = peer_->ReadUntilEndsWith("\x1c\r");
  EXPECT_NE(ack.find("MSA|AA|73|"), std::string::npos) << Repr(ack);
  EXPECT_EQ(Keeps(host_), 2u);
}

// An ASTM transfer cut by the close after its terminator record: its frames
// were acknowledged, so the message goes to the keeper all the same.
TEST_F(ClientSession, AMessageOfATransferTheCloseEndsStillGoesToTheKeeper) {
  host_.HoldKeeps(true);
  Open(Settings());
  peer_->Send("\x05");
  ASSERT_EQ(Repr(peer_->ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf));
  for (const std::string& f : {Frame(1, "H|\\^&|||XN-550^1|||||||P|LIS2-A2"), Frame(2, "O|1|S9||^^^WBC"),
                               Frame(3, "L|1|N")}) {
    peer_->Send(f);
    ASSERT_EQ(Repr(peer_->ReadUntilEndsWith(kAckCrLf)), Repr(kAckCrLf));
  }
  peer_->Close();
  ASSERT_TRUE(WaitFor([&] { return host_.Noted("disconnected"); }));
  EXPECT_TRUE(host_.Noted("keep in memory"));
  EXPECT_EQ(host_.HeldKeeps(), 0u);  // handed over without waiting for an answer
}
