// The ASTM, HL7 and JSON handlers through the record's ports (memory log,
// archive and LIS): the input's lines in the buffer, then the handler the
// identification picks; the first byte picks how (a transfer ended by EOT or
// text outside one) and how the input is cut.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.hpp"
#include "protocol/Controls.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kvfuzz::Env env;
  auto client = env.NewClient();
  const bool transfer = size > 0 && (data[0] & 1);
  if (transfer) client->ReadMessage(std::string(1, ENQ));
  for (const auto& c : kvfuzz::Chunks(data, size)) {
    client->AddInputBuffer(c);
    if (!transfer && client->BufferPossuiBlocoCompleto()) (void)client->ProcessBuffer();
  }
  if (transfer) client->ReadMessage(std::string(1, EOT));
  (void)client->ProcessBuffer();
  env.CheckArchive();
  return 0;
}
