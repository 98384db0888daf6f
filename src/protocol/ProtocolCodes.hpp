#pragma once
#include <cstdint>

// The protocol an analyzer speaks, as held in its protocol record and as it
// picks an archive file's extension.
inline constexpr int32_t PROTOCOLO_NAO_INDENTIFICADO = 0;
inline constexpr int32_t PROTOCOLO_ASTM = 10;
inline constexpr int32_t PROTOCOLO_HL7 = 20;
inline constexpr int32_t PROTOCOLO_JSON_DIAGNO = 30;
