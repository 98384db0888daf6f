#pragma once
#include <string>

// Control characters of the ASTM E1381 low-level protocol and of MLLP.
inline constexpr char NUL = '\x00';
inline constexpr char STX = '\x02';
inline constexpr char ETX = '\x03';
inline constexpr char EOT = '\x04';
inline constexpr char ENQ = '\x05';
inline constexpr char ACK = '\x06';
inline constexpr char LF = '\x0a';
inline constexpr char VT = '\x0b';
inline constexpr char CR = '\x0d';
inline constexpr char NAK = '\x15';
inline constexpr char ETB = '\x17';
inline constexpr char FS = '\x1c';

// Marks the end of a block in the input buffer (never written by the service).
inline const std::string TERMINADOR_BLOCO = "[--------------- TERMINADOR BLOCO ---------------]";
// Separates two reply messages in the output buffer; never sent.
inline const std::string LINHA_SEPARADORA = "[--------------- LINHA SEPARADORA ---------------]";
