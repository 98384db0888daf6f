#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "Analyzer.hpp"

// What the soak checks after the run: the archive files against what was
// acknowledged, and the service process's memory and descriptors.
namespace soak {

struct ProcessSample {
  long rssKb = -1;  // /proc/PID/status VmRSS
  long fds = -1;    // entries of /proc/PID/fd
};
// -1 fields when the process is gone or cannot be read.
ProcessSample SampleProcess(int pid);

struct ArchiveReport {
  long checked = 0;     // acknowledged messages looked for
  long identical = 0;   // in exactly one file, with the content sent
  long missing = 0;
  long different = 0;   // the file's content is not the message's
  long duplicates = 0;  // a sample in more than one file
  long tmpFiles = 0;    // half-written files left behind
  std::vector<std::string> problems;  // the first few, one line each
};

// Waits up to `wait` for the last files (a transfer is archived after its
// EOT), then compares every acknowledged message with the output folder.
ArchiveReport CheckArchives(const std::string& outputFolder, const std::vector<Archived>& expected,
                            std::chrono::milliseconds wait);

}  // namespace soak
