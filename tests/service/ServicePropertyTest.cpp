// The same stream cut at random byte positions must give the same archive
// files, and exactly one ACK per ASTM frame. Seeded: the seed is printed on
// failure and can be replayed with KV_PROPERTY_SEED.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "ServiceHarness.hpp"
#include "clients/ClientFixture.hpp"

using namespace kvtest;

namespace {

const std::string kAckCrLf = Expand("<ACK><CR><LF>");
constexpr int kIterations = 6;

class ServiceProperty : public ServiceSuite {
 protected:
  // Waits for one new archive file (one still under its .tmp name is not
  // one yet); answers its folder (relative) and content.
  static std::pair<std::string, std::string> NewArchive(const std::vector<std::string>& before) {
    std::string added;
    WaitFor([&] {
      for (const auto& f : ListFiles(Saida(), true))
        if (!f.ends_with(".tmp") && std::find(before.begin(), before.end(), f) == before.end()) added = f;
      return !added.empty();
    });
    if (added.empty()) return {"<none>", ""};
    const size_t slash = added.rfind('/');
    return {slash == std::string::npos ? "" : added.substr(0, slash), ReadFile(Saida() + "/" + added)};
  }
};

unsigned Seed() {
  if (const char* s = std::getenv("KV_PROPERTY_SEED")) return static_cast<unsigned>(std::strtoul(s, nullptr, 10));
  return std::random_device{}();
}

// Up to maxCuts distinct cut positions strictly inside text, ascending.
std::vector<size_t> Cuts(std::mt19937& rng, size_t size, size_t maxCuts) {
  std::vector<size_t> cuts;
  if (size < 2) return cuts;
  const size_t n = 1 + rng() % maxCuts;
  for (size_t i = 0; i < n; ++i) cuts.push_back(1 + rng() % (size - 1));
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  return cuts;
}

std::vector<std::string> Pieces(const std::string& text, const std::vector<size_t>& cuts) {
  std::vector<std::string> pieces;
  size_t at = 0;
  for (size_t c : cuts) {
    pieces.push_back(text.substr(at, c - at));
    at = c;
  }
  pieces.push_back(text.substr(at));
  return pieces;
}

std::string Describe(const std::vector<size_t>& cuts) {
  std::string s;
  for (size_t c : cuts) s += std::to_string(c) + " ";
  return s;
}

}  // namespace

TEST_F(ServiceProperty, AstmFramesCutAnywhereGiveTheSameArchiveAndOneAckPerFrame) {
  const unsigned seed = Seed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with KV_PROPERTY_SEED)");
  std::mt19937 rng(seed);
  const std::vector<std::string> captures = {
      "astm/mindray_cl_result_single_frame_session.astm",
      "astm/astmgeneral_ortho_vitros3600_results_session_16_frames.astm",
      "astm/roche_cobas_u411_urinalysis_session.astm",
  };
  for (const auto& capture : captures) {
    const auto chunks = SessionChunks(TestData(capture));
    ASSERT_GE(chunks.size(), 3u) << capture;
    std::pair<std::string, std::string> baseline;
    for (int it = 0; it <= kIterations; ++it) {
      // Iteration 0 is the baseline: every frame in one write.
      SCOPED_TRACE(capture + " iteration " + std::to_string(it));
      const auto before = ListFiles(Saida(), true);
      Peer peer(svc_->port());
      size_t frames = 0;
      for (const std::string& chunk : chunks) {
        if (chunk == std::string(1, EOT)) {
          ASSERT_TRUE(SendEot(*svc_, peer));
          continue;
        }
        if (chunk[0] == STX) ++frames;
        const auto cuts = (it == 0 || chunk[0] != STX) ? std::vector<size_t>{} : Cuts(rng, chunk.size(), 4);
        // The pieces of one frame go back to back, without waiting for an ACK.
        for (const auto& piece : Pieces(chunk, cuts)) peer.Send(piece);
        const std::string got = peer.ReadUntilEndsWith(kAckCrLf);
        ASSERT_EQ(Repr(got), Repr(kAckCrLf)) << "frame " << frames << " cut at " << Describe(cuts);
      }
      const auto archive = NewArchive(before);
      if (it == 0) {
        baseline = archive;
        ASSERT_NE(baseline.first, "<none>") << "the whole session archives nothing";
      } else {
        EXPECT_EQ(archive.first, baseline.first);
        EXPECT_EQ(Repr(archive.second), Repr(baseline.second));
      }
      // No ACK beyond one per frame is left over: the next ACK of ours finds
      // nothing queued and gets the bare EOT.
      peer.Send(Expand("<ACK>"));
      EXPECT_EQ(Repr(peer.ReadUntilEndsWith(Expand("<EOT>"))), Repr(Expand("<EOT>"))) << frames << " frames";
    }
  }
}

TEST_F(ServiceProperty, Hl7CutAnywhereGivesTheSameArchive) {
  const unsigned seed = Seed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with KV_PROPERTY_SEED)");
  std::mt19937 rng(seed);
  const std::vector<std::string> messages = {
      TestData("hl7/mindray_cl_oru_r01_patient_mllp.hl7"),
      TestData("hl7/mindray_bc5150_oru_r01_cbc_capture_trimmed_mllp.hl7"),
      // With application and model in MSH-3 and MSH-4, which name the archive folder.
      "\x0bMSH|^~\\&|BC-5380|Mindray|||20260109094500||ORU^R01|1|P|2.3.1||||||UNICODE\r"
      "PID|1||4242^^^^MR||SOUZA^ANA||19800101|F\r"
      "OBR|1||4242|00001^Automated Count^99MRC||20260109094500\r"
      "OBX|1|NM|6690-2^WBC^LN||7.85|10*9/L|5.00-12.00|N|||F\r\x1c\r",
  };
  for (size_t m = 0; m < messages.size(); ++m) {
    std::pair<std::string, std::string> baseline;
    for (int it = 0; it <= kIterations; ++it) {
      auto cuts = it == 0 ? std::vector<size_t>{} : Cuts(rng, messages[m].size(), 3);
      // Always one cut inside the header fields that name the analyzer.
      if (it == 1) cuts = {messages[m].find("|||20") - 2};
      SCOPED_TRACE("message " + std::to_string(m) + " iteration " + std::to_string(it) + " cut at " +
                   Describe(cuts));
      const auto before = ListFiles(Saida(), true);
      Peer peer(svc_->port());
      const auto pieces = Pieces(messages[m], cuts);
      // Each piece is read on its own, so every cut is real.
      for (size_t p = 0; p + 1 < pieces.size(); ++p) ASSERT_TRUE(SendRead(*svc_, peer, pieces[p]));
      peer.Send(pieces.back());
      const std::string reply = peer.ReadUntilEndsWith(Expand("<FS><CR>"));
      EXPECT_EQ(Count(reply, "ACK^R01"), 1u) << Repr(reply);
      const auto archive = NewArchive(before);
      if (it == 0) {
        baseline = archive;
        ASSERT_NE(baseline.first, "<none>") << "the whole message archives nothing";
      } else {
        EXPECT_EQ(archive.first, baseline.first);
        EXPECT_EQ(Repr(archive.second), Repr(baseline.second));
      }
    }
  }
}
