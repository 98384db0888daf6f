// Reception: protocol::CutLines on the input, then the record's
// AddInputBuffer and ReadMessage fed the input cut into chunks.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.hpp"
#include "protocol/Lines.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string whole(reinterpret_cast<const char*>(data), size);
  const protocol::TCutLines cut = protocol::CutLines(whole);
  size_t bytes = 0;
  for (const auto& l : cut.lines) {
    if (l.find_first_of("\r\n") != std::string::npos) kvfuzz::Fail("a cut line holds a line break");
    bytes += l.size();
  }
  if (bytes > whole.size()) kvfuzz::Fail("cut lines longer than the text");
  if (!whole.empty() && cut.endsAtBreak != (whole.back() == '\r' || whole.back() == '\n'))
    kvfuzz::Fail("endsAtBreak wrong");
  // Rejoined with CR LF the lines give the text with its breaks normalised.
  std::string joined, normalised;
  for (const auto& l : cut.lines) joined += l + "\r\n";
  for (size_t i = 0; i < whole.size(); ++i) {
    if (whole[i] == '\r' && i + 1 < whole.size() && whole[i + 1] == '\n') continue;
    normalised += whole[i] == '\n' || whole[i] == '\r' ? std::string("\r\n") : std::string(1, whole[i]);
  }
  if (!normalised.empty() && normalised.back() != '\n') normalised += "\r\n";
  if (joined != normalised) kvfuzz::Fail("CutLines lost or added text");

  kvfuzz::Env env;
  auto client = env.NewClient();
  const auto chunks = kvfuzz::Chunks(data, size);
  const bool viaRead = size > 0 && (data[0] & 1);
  for (const auto& c : chunks) {
    if (viaRead)
      client->ReadMessage(c);
    else
      client->AddInputBuffer(c);
    client->outputBuffer.clear();
  }
  if (!viaRead && client->InputBufferBytes() > 2 * size + 16) kvfuzz::Fail("input buffer larger than the input");
  env.CheckArchive();
  return 0;
}
