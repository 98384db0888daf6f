// The E1381 link-layer receiver, fed the input cut into reads.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.hpp"
#include "protocol/Controls.hpp"
#include "protocol/TLinkReceiver.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TLinkReceiver link;
  // The transfer as the record keeps it: opened by ENQ, ended by EOT, and
  // ended by a silence whenever a read's length says so.
  bool inTransfer = false;
  size_t fed = 0, handed = 0;
  for (const std::string& read : kvfuzz::Chunks(data, size)) {
    fed += read.size();
    if (read.size() % 5 == 4) inTransfer = false;
    for (const auto& e : link.Feed(read, inTransfer)) {
      if (e.kind == TLinkReceiver::TEvent::Enq) inTransfer = true;
      if (e.kind == TLinkReceiver::TEvent::Eot) inTransfer = false;
      handed += e.kind == TLinkReceiver::TEvent::Text || e.kind == TLinkReceiver::TEvent::Frame ? e.bytes.size() : 1;
      if (e.kind == TLinkReceiver::TEvent::Frame) {
        if (e.bytes.empty() || e.bytes[0] != STX) kvfuzz::Fail("a frame that does not start with STX");
        if (e.expected.size() != 2) kvfuzz::Fail("a frame without a two-digit computed checksum");
      }
      if (e.kind == TLinkReceiver::TEvent::Text && e.bytes.empty()) kvfuzz::Fail("an empty text event");
    }
    if (link.PendingBytes() > TLinkReceiver::MAX_PENDING + 4) kvfuzz::Fail("an unfinished frame past the bound");
  }
  // A frame's CR LF may be added, but nothing else appears from nowhere.
  if (handed > fed + 2 * fed) kvfuzz::Fail("more bytes handed on than received");
  return 0;
}
