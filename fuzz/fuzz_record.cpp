// The whole client record as the connection drives it: the input cut into
// reads, each read through the link receiver, its events handed on as the
// session does (ENQ, EOT, ACK and NAK included), replies taken as sent.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.hpp"
#include "protocol/Controls.hpp"
#include "protocol/TLinkReceiver.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kvfuzz::Env env;
  auto client = env.NewClient();
  TLinkReceiver link;
  for (const std::string& read : kvfuzz::Chunks(data, size)) {
    for (const auto& e : link.Feed(read, client->inTransferPhase)) {
      switch (e.kind) {
        case TLinkReceiver::TEvent::Ack:
          // The analyzer took the reply item sent last; the next one goes.
          if (!client->inTransferPhase && !client->outputBuffer.empty()) client->outputBuffer.pop_front();
          break;
        case TLinkReceiver::TEvent::Nak: break;  // the item would be sent again
        case TLinkReceiver::TEvent::Frame: client->ReadFrame(e); break;
        default: client->ReadMessage(e.bytes); break;
      }
      // ACK and NAK of ours go out at once; a reply waits for the analyzer's ACKs.
      while (!client->outputBuffer.empty() && client->outputBuffer.front().size() == 1 &&
             (client->outputBuffer.front()[0] == ACK || client->outputBuffer.front()[0] == NAK))
        client->outputBuffer.pop_front();
      if (client->outputBuffer.size() > 100000) kvfuzz::Fail("reply queue without bound");
    }
  }
  env.CheckArchive();
  return 0;
}
