#pragma once
#include <string>

namespace kvtest {

// A terminal's line settings as the kernel holds them (tcgetattr).
struct TtySettings {
  int speed = 0;         // bits per second of the output side (0: not a standard speed)
  int dataBits = 0;      // 5 to 8
  char parity = 'N';     // 'N', 'E' or 'O'
  int stopBits = 0;      // 1 or 2
  bool rtscts = false;   // hardware flow control
  bool xonxoff = false;  // software flow control, both ways
  bool raw = false;      // no line editing, echo, signals, CR/LF translation or output processing
  bool parityChecked = false;  // INPCK: bytes with a parity error are marked (not passed as they came)

  // "9600 8N1".
  std::string Short() const;
};

// Reads the settings of an open terminal, or of the terminal at path (opened
// for the moment without becoming its controlling terminal). Throws
// std::runtime_error when it is not a terminal or cannot be opened.
TtySettings ReadTtySettings(int fd);
TtySettings ReadTtySettings(const std::string& path);

}  // namespace kvtest
