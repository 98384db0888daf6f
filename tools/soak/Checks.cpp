#include "Checks.hpp"

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace soak {

namespace {

constexpr size_t kProblemsKept = 20;

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The sample part of an archive name: up to the suffix's "-" or the extension's ".".
std::string SampleOf(const std::string& fileName) { return fileName.substr(0, fileName.find_first_of("-.")); }

void Note(ArchiveReport& r, const std::string& line) {
  if (r.problems.size() < kProblemsKept) r.problems.push_back(line);
}

}  // namespace

ProcessSample SampleProcess(int pid) {
  ProcessSample s;
  const fs::path proc = fs::path("/proc") / std::to_string(pid);
  std::ifstream status(proc / "status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) s.rssKb = std::stol(line.substr(6));
  std::error_code ec;
  long n = 0;
  for (fs::directory_iterator it(proc / "fd", ec), end; !ec && it != end; it.increment(ec)) ++n;
  if (!ec) s.fds = n;
  return s;
}

ArchiveReport CheckArchives(const std::string& outputFolder, const std::vector<Archived>& expected,
                            std::chrono::milliseconds wait) {
  const fs::path root(outputFolder);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (const Archived& a : expected) {
    while (!fs::exists(root / a.relativePath) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ArchiveReport r;
  std::map<std::string, long> filesPerSample;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    const std::string name = it->path().filename().string();
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) {
      ++r.tmpFiles;
      Note(r, "half-written file left: " + it->path().string());
      continue;
    }
    ++filesPerSample[SampleOf(name)];
  }
  if (ec) Note(r, "cannot list " + outputFolder + ": " + ec.message());
  for (const Archived& a : expected) {
    ++r.checked;
    const fs::path file = root / a.relativePath;
    const long files = filesPerSample.count(a.sample) ? filesPerSample[a.sample] : 0;
    if (!fs::exists(file)) {
      ++r.missing;
      Note(r, "acknowledged but not archived: " + a.relativePath);
    } else if (ReadWhole(file) != a.content) {
      ++r.different;
      Note(r, "archive differs from the message sent: " + a.relativePath);
    } else if (files > 1) {  // 0: written after the listing, while the service went on
      ++r.duplicates;
      Note(r, "sample " + a.sample + " is in " + std::to_string(files) + " files");
    } else {
      ++r.identical;
    }
  }
  return r;
}

}  // namespace soak
