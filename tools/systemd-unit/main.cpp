// Prints the systemd unit that "kv_redurozozi --install" writes, for an
// executable at a path of our choosing: the Debian package ships this text,
// made by the same code as the install run's.
//
//   systemd-unit --exec PATH [--user NAME]
#include <iostream>
#include <stdexcept>
#include <string>

#include "host/TSystemdUnit.hpp"

int main(int argc, char** argv) {
  std::string exe;
  std::string user;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--exec" && i + 1 < argc) {
      exe = argv[++i];
    } else if (a == "--user" && i + 1 < argc) {
      user = argv[++i];
    } else {
      exe.clear();
      break;
    }
  }
  if (exe.empty() || exe.front() != '/') {
    std::cerr << "usage: " << argv[0] << " --exec /ABSOLUTE/PATH [--user NAME]" << std::endl;
    return 2;
  }
  try {
    std::cout << TSystemdUnit::Text(exe, user);
  } catch (const std::exception& e) {
    std::cerr << "systemd-unit: " << e.what() << std::endl;
    return 1;
  }
  return std::cout.flush() ? 0 : 1;
}
