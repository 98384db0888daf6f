// However a serial bridge cuts an analyzer's stream into reads, the link
// layer and reception give the same archive files, one ACK per frame, and no
// archive line holding a control character.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ClientFixture.hpp"
#include "clients/TSocketClient.hpp"
#include "protocol/TLinkReceiver.hpp"
#include "support/TestSupport.hpp"

using namespace kvtest;

namespace {

using Event = TLinkReceiver::TEvent;

struct Outcome {
  std::vector<std::pair<std::string, std::string>> files;  // name and text
  size_t frames = 0;
  size_t enqs = 0;
  size_t acks = 0;
  size_t naks = 0;
  std::string replies;  // every other item queued (a host query's reply)
};

// Plays the stream to a record as reads cut at `cuts` (ascending positions).
Outcome Play(const std::string& stream, const std::vector<size_t>& cuts) {
  ClientEnv env;
  TSocketClient client("h:1", env.saida, env.Context());
  TLinkReceiver link;
  Outcome o;
  auto feed = [&](const std::string& read) {
    for (const Event& e : link.Feed(read, client.inTransferPhase)) {
      if (e.kind == Event::Ack || e.kind == Event::Nak) continue;  // the sender's, not reception's
      if (e.kind == Event::Frame) ++o.frames;
      if (e.kind == Event::Enq) ++o.enqs;
      client.ReadEvent(e);
      for (const std::string& item : client.outputBuffer) {
        if (item == std::string(1, ACK)) ++o.acks;
        if (item == std::string(1, NAK)) ++o.naks;
        if (item != std::string(1, ACK) && item != std::string(1, NAK)) o.replies += item + "|";
      }
      client.outputBuffer.clear();
    }
  };
  size_t from = 0;
  for (size_t cut : cuts) {
    feed(stream.substr(from, cut - from));
    from = cut;
  }
  feed(stream.substr(from));
  for (const std::string& f : env.Files()) o.files.emplace_back(f, env.File(f));
  return o;
}

std::string Describe(const Outcome& o) {
  std::string s = std::to_string(o.frames) + " frames, " + std::to_string(o.acks) + " ACKs, " +
                  std::to_string(o.naks) + " NAKs; replies " + Repr(o.replies) + ";";
  for (const auto& [name, text] : o.files) s += " [" + name + ": " + Repr(text) + "]";
  return s;
}

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\r' && c != '\n'; }

// Cut positions worth trying: all of them for a short stream; for a long one,
// every position near a control character or a line break (where frames,
// checksums and transfers begin and end), and a sample of the rest.
std::vector<size_t> CutPositions(const std::string& stream) {
  std::vector<size_t> cuts;
  for (size_t c = 1; c < stream.size(); ++c) {
    bool near = stream.size() <= 3000 || c % 97 == 0;
    for (size_t k = c >= 4 ? c - 4 : 0; !near && k < std::min(stream.size(), c + 4); ++k)
      near = IsControl(stream[k]) || stream[k] == '\r' || stream[k] == '\n';
    if (near) cuts.push_back(c);
  }
  return cuts;
}

std::vector<std::pair<std::string, std::string>> Streams() {
  std::vector<std::pair<std::string, std::string>> streams;
  std::string backToBack;
  for (const std::string& path : TestDataFiles("astm")) {
    std::string bytes = ReadFile(path);
    streams.emplace_back(path.substr(path.rfind('/') + 1), bytes);
    // Sessions one after the other: each EOT meets the next ENQ in the same read.
    if (bytes.front() == ENQ && bytes.back() == EOT) backToBack += bytes;
  }
  streams.emplace_back("sessions back to back", backToBack);
  for (const std::string& path : TestDataFiles("hl7")) streams.emplace_back(path.substr(path.rfind('/') + 1), ReadFile(path));
  return streams;
}

}  // namespace

TEST(LinkProperty, EveryCutGivesTheSameArchivesAndOneAckPerFrame) {
  for (const auto& [name, stream] : Streams()) {
    SCOPED_TRACE(name);
    const Outcome whole = Play(stream, {});
    // An ASTM result stream archives something, a host query is answered (an
    // HL7 stream without MLLP framing is never complete, and stays so).
    if (name.find(".hl7") == std::string::npos) {
      ASSERT_FALSE(whole.files.empty() && whole.replies.empty()) << "nothing came of the stream: " << Describe(whole);
    }
    EXPECT_EQ(whole.acks, whole.frames + whole.enqs) << Describe(whole);
    EXPECT_EQ(whole.naks, 0u) << Describe(whole);  // the captures' checksums are right
    for (const auto& [file, text] : whole.files)
      for (const char c : text) ASSERT_FALSE(IsControl(c)) << file << ": " << Repr(text);
    std::vector<size_t> everyByte;
    for (size_t c = 1; c < stream.size(); ++c) everyByte.push_back(c);
    const Outcome bytewise = Play(stream, everyByte);
    EXPECT_EQ(Describe(bytewise), Describe(whole)) << "every byte its own read";
    for (size_t cut : CutPositions(stream)) {
      const Outcome split = Play(stream, {cut});
      ASSERT_EQ(Describe(split), Describe(whole)) << "cut at " << cut;
    }
  }
}
