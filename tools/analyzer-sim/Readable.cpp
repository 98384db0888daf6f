#include "Readable.hpp"

#include <cstdio>

namespace sim {

namespace {
const char* ControlName(unsigned char c) {
  switch (c) {
    case 0x00: return "NUL";
    case 0x02: return "STX";
    case 0x03: return "ETX";
    case 0x04: return "EOT";
    case 0x05: return "ENQ";
    case 0x06: return "ACK";
    case 0x09: return "TAB";
    case 0x0A: return "LF";
    case 0x0B: return "VT";
    case 0x0D: return "CR";
    case 0x15: return "NAK";
    case 0x17: return "ETB";
    case 0x1C: return "FS";
    default: return nullptr;
  }
}
}  // namespace

std::string Readable(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() + 16);
  for (unsigned char c : bytes) {
    if (const char* name = ControlName(c)) {
      out += '<';
      out += name;
      out += '>';
    } else if (c < 0x20 || c >= 0x7F) {
      // Windows-1252 letters are shown as codes too: the terminal may not be 8-bit.
      char buf[8];
      std::snprintf(buf, sizeof buf, "<x%02X>", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace sim
