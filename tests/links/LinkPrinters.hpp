#pragma once
#include <ostream>

#include "links/TLinkFailure.hpp"
#include "util/Encoding.hpp"

// Failures in test messages: the reason as the log gives it, and the kind's number.
inline void PrintTo(const TLinkFailure& f, std::ostream* os) {
  *os << "{kind " << static_cast<int>(f.kind) << ": \"" << Cp1252ToUtf8(Describe(f)) << "\"}";
}
