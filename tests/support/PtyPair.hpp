#pragma once
#include <sys/types.h>

#include <string>

#include "support/TestSupport.hpp"

namespace kvtest {

// Two pseudo-terminals joined by socat: what is written to one end comes out
// of the other, like two serial ports on a null-modem cable. Each end is a path
// (a link to its /dev/pts/N) that a program opens as it would /dev/ttyUSB0.
// A pty carries every byte as it is: it has no speed, parity or framing of its
// own, so the line settings of the two ends need not agree. socat ends with the
// thread that made (or put back) the pair, so a test that dies leaves none.
class PtyPair {
 public:
  // Throws std::runtime_error when socat is missing or the pair does not appear in time.
  PtyPair();
  ~PtyPair();  // ends socat and removes the folder
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& a() const { return a_; }
  const std::string& b() const { return b_; }

  // Ends socat: both devices vanish, as an unplugged USB adapter does (an open
  // end then reads as ended and fails its writes).
  void Pull();
  // Makes the pair again under the same paths.
  void PutBack();

  // socat is installed (scripts/setup.sh installs it).
  static bool Available();

 private:
  void Launch();

  TempDir dir_;
  std::string a_;
  std::string b_;
  pid_t pid_ = -1;
};

}  // namespace kvtest
