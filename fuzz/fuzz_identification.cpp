// Identification: protocol::ReadHeader on every header line of the input,
// and the record's GetProtocolInBuffer on its lines.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.hpp"
#include "protocol/Headers.hpp"
#include "protocol/Lines.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string whole(reinterpret_cast<const char*>(data), size);
  for (const auto& line : protocol::CutLines(whole).lines) {
    const bool astm = protocol::IsLineASTM(line);
    const bool hl7 = protocol::IsLineHL7(line);
    if (!astm && !hl7) continue;
    const protocol::THeaderIdentity id = protocol::ReadHeader(line);
    if (id.protocolo != PROTOCOLO_ASTM && id.protocolo != PROTOCOLO_HL7) kvfuzz::Fail("header without a protocol");
    if (id.modelo.size() > line.size() || id.aplicacao.size() > line.size()) kvfuzz::Fail("identity longer than its line");
  }
  kvfuzz::Env env;
  auto client = env.NewClient();
  for (const auto& c : kvfuzz::Chunks(data, size)) client->AddInputBuffer(c);
  const int32_t p = client->GetProtocolInBuffer();
  if (p != PROTOCOLO_NAO_INDENTIFICADO && p != PROTOCOLO_ASTM && p != PROTOCOLO_HL7 && p != PROTOCOLO_JSON_DIAGNO)
    kvfuzz::Fail("unknown protocol code " + std::to_string(p));
  (void)client->GetProtocolInBuffer();  // asked again, as the handlers do
  return 0;
}
