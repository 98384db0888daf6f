#pragma once
#include <string>

namespace sim {

// Bytes as one printable line: control characters as <STX>, <CR>, ..., other
// non-printable bytes as <xNN>. Used for everything the simulator prints.
std::string Readable(const std::string& bytes);

}  // namespace sim
