#include "archive/TSpoolJournal.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>

#include "archive/TOldSpool.hpp"

namespace {

const std::string MAGIC = "KVJOURNAL 1\n";
const std::string EXTENSION = ".journal";
constexpr size_t HEADER_MOST = 80;  // "E <20 digits> <10 digits> <8 hex>\n" with room

uint32_t Crc32(uint32_t crc, const char* data, size_t n) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::string SysError(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + fsys::ErrorText(err);
}

std::string SeqText(uint64_t n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%020llu", static_cast<unsigned long long>(n));
  return buf;
}

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// A record as read back: its type, sequence number and payload position.
struct TRecordAt {
  char type = 0;
  uint64_t seq = 0;
  uint64_t payload = 0;  // offset
  uint32_t size = 0;
  uint64_t next = 0;     // offset of the record after it
};

// Reads the record at offset; false at the end or at a record that is cut
// or damaged (the journal ends there).
bool ReadRecord(fsys::AppendFile& f, uint64_t offset, uint64_t fileSize, TRecordAt& r, std::string& payload) {
  if (offset >= fileSize) return false;
  std::string head;
  int err = 0;
  if (!f.ReadAt(offset, static_cast<size_t>(std::min<uint64_t>(HEADER_MOST, fileSize - offset)), head, err)) return false;
  const size_t nl = head.find('\n');
  if (nl == std::string::npos) return false;
  char type = 0;
  unsigned long long seq = 0, size = 0;
  unsigned crc = 0;
  int used = 0;
  const std::string line = head.substr(0, nl);
  if (std::sscanf(line.c_str(), "%c %20llu %10llu %8x%n", &type, &seq, &size, &crc, &used) != 4 ||
      static_cast<size_t>(used) != line.size() || size > 0xFFFFFFFFull)
    return false;
  r.type = type;
  r.seq = seq;
  r.payload = offset + nl + 1;
  r.size = static_cast<uint32_t>(size);
  if (r.payload + size + 1 > fileSize) return false;
  if (!f.ReadAt(r.payload, static_cast<size_t>(size) + 1, payload, err) || payload.back() != '\n') return false;
  payload.pop_back();
  const std::string prefix = line.substr(0, line.rfind(' '));
  const uint32_t want = Crc32(Crc32(0, prefix.data(), prefix.size()), payload.data(), payload.size());
  if (want != crc) return false;
  r.next = r.payload + size + 1;
  return true;
}

// A name record's payload: the archive path, LF, the temporary file.
std::string NamePayload(const std::string& nome, const std::string& temp) { return nome + "\n" + temp; }
void SplitName(const std::string& payload, std::string& nome, std::string& temp) {
  const size_t nl = payload.find('\n');
  nome = payload.substr(0, nl);
  temp = nl == std::string::npos ? std::string() : payload.substr(nl + 1);
}

// The generations in the folder, oldest first; removeUnfinished takes away
// those that were being written when a process ended.
std::vector<uint64_t> Generations(const std::string& folder, bool removeUnfinished) {
  std::vector<uint64_t> gens;
  for (const auto& n : fsys::ListFolder(folder)) {
    int ignored = 0;
    if (removeUnfinished && EndsWith(n, EXTENSION + ".tmp")) (void)fsys::RemoveFile(folder + n, ignored);
    if (!EndsWith(n, EXTENSION) || n.size() != 20 + EXTENSION.size()) continue;
    if (n.find_first_not_of("0123456789") != 20) continue;
    gens.push_back(std::strtoull(n.substr(0, 20).c_str(), nullptr, 10));
  }
  std::sort(gens.begin(), gens.end());
  return gens;
}

// Calls record for each whole record of the file after its header; answers
// where the whole records end (the file's size when nothing is torn), or
// nothing when the file is not a journal.
std::optional<uint64_t> WalkRecords(fsys::AppendFile& f, const std::function<void(const TRecordAt&, std::string&)>& record) {
  const int64_t size = f.Size();
  std::string magic;
  int err = 0;
  if (size < static_cast<int64_t>(MAGIC.size()) || !f.ReadAt(0, MAGIC.size(), magic, err) || magic != MAGIC)
    return std::nullopt;
  uint64_t at = MAGIC.size();
  TRecordAt r;
  std::string payload;
  while (ReadRecord(f, at, static_cast<uint64_t>(size), r, payload)) {
    at = r.next;
    record(r, payload);
  }
  return at;
}

}  // namespace

size_t TSpoolJournal::WaitingIn(const std::string& spoolFolder) {
  std::string folder = spoolFolder;
  if (!folder.empty() && folder.back() != fsys::PATH_SEPARATOR) folder += fsys::PATH_SEPARATOR;
  std::set<uint64_t> waiting;
  for (uint64_t gen : Generations(folder, false)) {
    fsys::AppendFile f;
    int err = 0;
    if (!f.Open(folder + SeqText(gen) + EXTENSION, false, err)) continue;
    WalkRecords(f, [&](const TRecordAt& r, std::string&) {
      if (r.type == 'E') waiting.insert(r.seq);
      if (r.type == 'D') waiting.erase(r.seq);
    });
  }
  return waiting.size();
}

TSpoolJournal::TSpoolJournal(std::string folder) : folder_(std::move(folder)) {
  if (!folder_.empty() && folder_.back() != fsys::PATH_SEPARATOR) folder_ += fsys::PATH_SEPARATOR;
}

TSpoolJournal::~TSpoolJournal() = default;

bool TSpoolJournal::RemoveIfNothingWaits() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!live_.empty() || !file_) return false;
  file_.reset();
  int err = 0;
  return fsys::RemoveFile(PathOf(gen_), err);
}

std::string TSpoolJournal::PathOf(uint64_t gen) const { return folder_ + SeqText(gen) + EXTENSION; }

std::string TSpoolJournal::Record(char type, uint64_t seq, const std::string& payload) {
  std::string prefix(1, type);
  prefix += ' ';
  prefix += std::to_string(seq);
  prefix += ' ';
  prefix += std::to_string(payload.size());
  const uint32_t crc = Crc32(Crc32(0, prefix.data(), prefix.size()), payload.data(), payload.size());
  char hex[16];
  std::snprintf(hex, sizeof hex, " %08x\n", crc);
  std::string out = prefix + hex;
  out += payload;
  out += '\n';
  return out;
}

size_t TSpoolJournal::Waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return live_.size();
}

uint64_t TSpoolJournal::Bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return size_;
}

std::vector<TSpoolJournal::TWaiting> TSpoolJournal::Open(std::vector<std::string>* problems) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint64_t> gens = Generations(folder_, true);

  // Every generation is read in order; a later one repeats what still waited.
  struct TFound {
    TLive live;
    size_t file = 0;
    std::string origem;
    TDateTime completo;
  };
  std::map<uint64_t, TFound> found;
  std::vector<std::unique_ptr<fsys::AppendFile>> files;
  uint64_t maxSeq = 0;
  for (uint64_t gen : gens) {
    auto f = std::make_unique<fsys::AppendFile>();
    int err = 0;
    const std::string path = PathOf(gen);
    if (!f->Open(path, false, err)) {
      if (problems) problems->push_back(SysError("N\xe3o foi poss\xedvel ler a fila", path, err));
      continue;
    }
    const int64_t size = f->Size();
    const size_t file = files.size();
    const std::optional<uint64_t> end = WalkRecords(*f, [&](const TRecordAt& r, std::string& payload) {
      maxSeq = std::max(maxSeq, r.seq);
      if (r.type == 'E') {
        TArchiveEntry e;
        if (found.count(r.seq) || !TOldSpool::Decode(payload, e)) return;
        TFound& x = found[r.seq];
        x.live.offset = r.payload;
        x.live.size = r.size;
        x.file = file;
        x.origem = e.origem;
        x.completo = e.completo;
      } else if (r.type == 'N') {
        auto it = found.find(r.seq);
        if (it != found.end()) SplitName(payload, it->second.live.nome, it->second.live.temp);
      } else if (r.type == 'D') {
        found.erase(r.seq);
      }
    });
    if (!end) {
      if (size > 0 && problems) problems->push_back("Fila spool/ ileg\xedvel: " + path);
      continue;
    }
    if (*end != static_cast<uint64_t>(size) && problems)
      problems->push_back("Fila spool/: " + path + " termina num registro incompleto (" +
                          std::to_string(static_cast<uint64_t>(size) - *end) + " bytes ignorados)");
    files.push_back(std::move(f));
  }

  nextSeq_ = maxSeq + 1;
  std::map<uint64_t, TLive> live;
  for (const auto& [seq, x] : found) live[seq] = x.live;
  // The new generation holds what waits, read from whichever file kept it.
  Rewrite((gens.empty() ? 0 : gens.back()) + 1, live, [&](uint64_t seq, const TLive& l, std::string& out, int& err) {
    return files[found.at(seq).file]->ReadAt(l.offset, l.size, out, err);
  });
  files.clear();
  for (uint64_t gen : gens) {
    int ignored = 0;
    (void)fsys::RemoveFile(PathOf(gen), ignored);
  }
  int ignored = 0;
  (void)fsys::FlushFolder(folder_, ignored);

  std::vector<TWaiting> out;
  out.reserve(found.size());
  for (const auto& [seq, x] : found) out.push_back({seq, x.origem, x.completo, x.live.nome, x.live.temp});
  return out;
}

void TSpoolJournal::Rewrite(uint64_t gen, const std::map<uint64_t, TLive>& live, const TReadPayload& read) {
  const std::string path = PathOf(gen);
  const std::string temp = path + ".tmp";
  int err = 0;
  (void)fsys::RemoveFile(temp, err);
  fsys::AppendFile out;
  if (!out.Open(temp, true, err)) throw std::runtime_error(SysError("N\xe3o foi poss\xedvel criar na fila", temp, err));
  auto fail = [&](const std::string& what, int e) {
    out.Close();
    int ignored = 0;
    (void)fsys::RemoveFile(temp, ignored);
    throw std::runtime_error(SysError(what, temp, e));
  };
  std::map<uint64_t, TLive> moved;
  std::string buffer = MAGIC;
  uint64_t size = 0, liveBytes = 0;
  std::string payload;
  for (const auto& [seq, l] : live) {
    if (!read(seq, l, payload, err)) fail("N\xe3o foi poss\xedvel ler a fila", err);
    const std::string e = Record('E', seq, payload);
    TLive& m = moved[seq];
    m = l;
    m.offset = size + buffer.size() + (e.size() - payload.size() - 1);
    liveBytes += l.size;
    buffer += e;
    if (!l.nome.empty()) buffer += Record('N', seq, NamePayload(l.nome, l.temp));
    if (buffer.size() >= (1u << 20)) {
      if (!out.Append(buffer, err)) fail("N\xe3o foi poss\xedvel gravar na fila", err);
      size += buffer.size();
      buffer.clear();
    }
  }
  if (!out.Append(buffer, err)) fail("N\xe3o foi poss\xedvel gravar na fila", err);
  size += buffer.size();
  if (!out.Flush(err)) fail("N\xe3o foi poss\xedvel gravar na fila", err);
  out.Close();
  if (!fsys::RenameNew(temp, path, err)) fail("N\xe3o foi poss\xedvel renomear na fila", err);
  if (!fsys::FlushFolder(folder_, err)) throw std::runtime_error(SysError("N\xe3o foi poss\xedvel gravar na fila", folder_, err));

  auto file = std::make_shared<fsys::AppendFile>();
  if (!file->Open(path, false, err)) throw std::runtime_error(SysError("N\xe3o foi poss\xedvel abrir a fila", path, err));
  file_ = std::move(file);
  gen_ = gen;
  size_ = size;
  liveBytes_ = liveBytes;
  live_ = std::move(moved);
  broken_ = false;
}

TSpoolJournal::TFile TSpoolJournal::Append(const std::vector<TPending>& records, std::vector<uint64_t>* payloadOffsets) {
  // Under the lock.
  if (!file_) throw std::runtime_error("N\xe3o foi poss\xedvel gravar na fila " + folder_ + ": fila fechada");
  // The last append or flush failed: what follows goes into a file of its own.
  if (broken_) NextGeneration();
  std::string text;
  for (const TPending& r : records) {
    const std::string rec = Record(r.type, r.seq, *r.payload);
    if (payloadOffsets) payloadOffsets->push_back(size_ + text.size() + rec.size() - r.payload->size() - 1);
    text += rec;
  }
  int err = 0;
  if (!file_->Append(text, err)) {
    // Cut back, so that nothing torn stands before the records that follow.
    int ignored = 0;
    if (!file_->Truncate(size_, ignored)) broken_ = true;
    throw std::runtime_error(SysError("N\xe3o foi poss\xedvel gravar na fila", PathOf(gen_), err));
  }
  size_ += text.size();
  return file_;
}

void TSpoolJournal::Flush(const TFile& file) {
  int err = 0;
  if (file->Flush(err)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  // After a failed flush nobody knows what reached the disk: a new generation next time.
  if (file == file_) broken_ = true;
  throw std::runtime_error(SysError("N\xe3o foi poss\xedvel gravar na fila", folder_, err));
}

std::vector<uint64_t> TSpoolJournal::Keep(const std::vector<const TArchiveEntry*>& entries) {
  std::vector<std::string> payloads;
  payloads.reserve(entries.size());
  for (const TArchiveEntry* e : entries) payloads.push_back(TOldSpool::Encode(*e));
  std::vector<uint64_t> seqs;
  TFile file;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<TPending> records;
    for (size_t i = 0; i < payloads.size(); ++i) records.push_back({'E', nextSeq_ + i, &payloads[i]});
    std::vector<uint64_t> offsets;
    file = Append(records, &offsets);
    for (size_t i = 0; i < payloads.size(); ++i) {
      const uint64_t seq = nextSeq_++;
      seqs.push_back(seq);
      TLive& l = live_[seq];
      l.offset = offsets[i];
      l.size = static_cast<uint32_t>(payloads[i].size());
      liveBytes_ += l.size;
    }
  }
  try {
    Flush(file);
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint64_t seq : seqs) {
      auto it = live_.find(seq);
      if (it == live_.end()) continue;
      liveBytes_ -= it->second.size;
      live_.erase(it);
    }
    throw;
  }
  return seqs;
}

void TSpoolJournal::RecordNames(const std::vector<TNamed>& names) {
  if (names.empty()) return;
  std::vector<std::string> payloads;
  for (const TNamed& n : names) payloads.push_back(NamePayload(n.nome, n.temp));
  TFile file;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<TPending> records;
    for (size_t i = 0; i < names.size(); ++i) records.push_back({'N', names[i].seq, &payloads[i]});
    file = Append(records, nullptr);
    for (const TNamed& n : names) {
      auto it = live_.find(n.seq);
      if (it == live_.end()) continue;
      it->second.nome = n.nome;
      it->second.temp = n.temp;
    }
  }
  Flush(file);
}

void TSpoolJournal::RecordDelivered(const std::vector<uint64_t>& seqs) {
  if (seqs.empty()) return;
  static const std::string empty;
  TFile file;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<TPending> records;
    for (uint64_t seq : seqs) records.push_back({'D', seq, &empty});
    file = Append(records, nullptr);
    for (uint64_t seq : seqs) {
      auto it = live_.find(seq);
      if (it == live_.end()) continue;
      liveBytes_ -= it->second.size;
      live_.erase(it);
    }
  }
  Flush(file);
}

TArchiveEntry TSpoolJournal::Read(uint64_t seq) {
  TFile file;
  TLive l;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = live_.find(seq);
    if (it == live_.end() || !file_)
      throw std::runtime_error("Item " + std::to_string(seq) + " n\xe3o est\xe1 na fila " + folder_);
    l = it->second;
    file = file_;
  }
  std::string payload;
  int err = 0;
  TArchiveEntry e;
  if (!file->ReadAt(l.offset, l.size, payload, err))
    throw std::runtime_error(SysError("N\xe3o foi poss\xedvel ler a fila", folder_, err));
  if (!TOldSpool::Decode(payload, e))
    throw std::runtime_error("Item " + std::to_string(seq) + " ileg\xedvel na fila " + folder_);
  return e;
}

void TSpoolJournal::CompactIfWorthIt() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_ || size_ <= COMPACT_AT || liveBytes_ * 4 > size_ || liveBytes_ > COMPACT_MOST) return;
  NextGeneration();
}

void TSpoolJournal::NextGeneration() {
  const TFile from = file_;
  const uint64_t old = gen_;
  Rewrite(gen_ + 1, live_, [&](uint64_t, const TLive& l, std::string& out, int& err) {
    return from->ReadAt(l.offset, l.size, out, err);
  });
  int ignored = 0;
  (void)fsys::RemoveFile(PathOf(old), ignored);
}
