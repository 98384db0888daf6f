#include "protocol/Mllp.hpp"

#include "protocol/Controls.hpp"

namespace mllp {

std::string Wrap(const std::string& message) {
  std::string text;
  text.reserve(message.size() + 3);
  text += VT;
  text += message;
  text += FS;
  text += CR;
  return text;
}

std::string Unwrap(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != VT && c != FS) out.push_back(c);
  return out;
}

}  // namespace mllp
