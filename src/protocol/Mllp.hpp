#pragma once
#include <string>

// MLLP framing of HL7 messages in one place: VT, message, FS, CR. Pure.
namespace mllp {

// VT + message + FS + CR.
std::string Wrap(const std::string& message);
// The text without any VT or FS (the framing bytes of a received message).
std::string Unwrap(const std::string& text);

}  // namespace mllp
