#include "status/TFolderWatch.hpp"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "util/Encoding.hpp"
#include "util/FileSystem.hpp"

using Clock = std::chrono::steady_clock;

namespace {

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The oldest modification time of the archive files in folder and its model
// subfolders (names ending in .tmp are files still being written); 0 when none.
// The folder is walked without a list of its names: one the LIS has not
// imported from for a while may hold hundreds of thousands of files.
std::time_t OldestFile(const std::string& folder, int depth) {
  std::time_t oldest = 0;
  fsys::ForEachInFolder(folder, [&](const std::string& name) {
    const std::string path = folder + (EndsWith(folder, std::string(1, fsys::PATH_SEPARATOR)) || EndsWith(folder, "/")
                                           ? ""
                                           : std::string(1, fsys::PATH_SEPARATOR)) +
                             name;
    fsys::FileInfo info;
    int err = 0;
    if (!fsys::Stat(path, info, false, err)) return;
    std::time_t t = 0;
    if (info.isDirectory && depth > 0)
      t = OldestFile(path, depth - 1);
    else if (info.isRegular && !EndsWith(name, ".tmp"))
      t = static_cast<std::time_t>(info.stamp.modified / 1000000000);
    if (t != 0 && (oldest == 0 || t < oldest)) oldest = t;
  });
  return oldest;
}

}  // namespace

TFolderFacts ScanFolders(const std::string& outputFolder, const std::string& spoolFolder) {
  TFolderFacts f;
  const std::string pasta = Cp1252ToUtf8(outputFolder);
  f.outputWritable = !pasta.empty() && fsys::CanWriteFolder(pasta);
  f.freeKnown = !pasta.empty() && fsys::FreeSpace(pasta, f.freeBytes);
  f.spoolWritable = fsys::CanWriteFolder(spoolFolder);
  f.oldestWaitingFile = pasta.empty() ? 0 : OldestFile(pasta, 1);
  return f;
}

struct TFolderWatch::Shared {
  std::string output, spool;
  std::chrono::seconds every;
  mutable std::mutex m;
  std::condition_variable wake;
  bool stopping = false;
  bool have = false;
  TFolderFacts facts;
  Clock::time_point busySince{};

  void Run() {
    std::unique_lock<std::mutex> lock(m);
    while (!stopping) {
      busySince = Clock::now();
      lock.unlock();
      const TFolderFacts f = ScanFolders(output, spool);
      lock.lock();
      busySince = Clock::time_point{};
      facts = f;
      have = true;
      wake.notify_all();  // a WaitFirst
      wake.wait_for(lock, every, [&] { return stopping; });
    }
  }
};

TFolderWatch::TFolderWatch(std::string outputFolder, std::string spoolFolder, std::chrono::seconds every)
    : shared_(std::make_shared<Shared>()) {
  shared_->output = std::move(outputFolder);
  shared_->spool = std::move(spoolFolder);
  shared_->every = every;
}

TFolderWatch::~TFolderWatch() {
  std::lock_guard<std::mutex> lock(shared_->m);
  shared_->stopping = true;
  shared_->wake.notify_all();
}

void TFolderWatch::Start() {
  std::thread([s = shared_] { s->Run(); }).detach();
}

bool TFolderWatch::Latest(TFolderFacts& facts) const {
  std::lock_guard<std::mutex> lock(shared_->m);
  if (shared_->have) facts = shared_->facts;
  return shared_->have;
}

bool TFolderWatch::WaitFirst(std::chrono::milliseconds most) const {
  std::unique_lock<std::mutex> lock(shared_->m);
  return shared_->wake.wait_for(lock, most, [&] { return shared_->have; });
}

std::chrono::milliseconds TFolderWatch::Busy() const {
  std::lock_guard<std::mutex> lock(shared_->m);
  if (shared_->busySince == Clock::time_point{}) return std::chrono::milliseconds(0);
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - shared_->busySince);
}
