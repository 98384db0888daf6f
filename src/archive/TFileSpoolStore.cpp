#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "archive/TSpoolStore.hpp"

namespace {

const char* const kMagic = "KVSPOOL 1\n";
const char* const kExt = ".entry";

std::string SysError(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + std::strerror(err);
}

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

void FlushFolder(const std::string& folder) {
  const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd < 0) throw std::runtime_error(SysError("N\xe3o foi poss\xedvel abrir a fila", folder, errno));
  const int r = ::fsync(dfd);
  const int err = errno;
  ::close(dfd);
  if (r != 0) throw std::runtime_error(SysError("N\xe3o foi poss\xedvel gravar na fila", folder, err));
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> out;
  DIR* d = ::opendir(folder.c_str());
  if (!d) return out;
  while (const dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") out.push_back(n);
  }
  ::closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

bool ReadAll(const std::string& path, std::string& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[65536];
  size_t n = 0;
  out.clear();
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

// Length-prefixed fields: "<name> <byte count>\n<bytes>\n", so any byte of a
// line (CR, LF, NUL, Windows-1252) comes back as it was.
void Field(std::string& out, const char* name, const std::string& value) {
  out += name;
  out += ' ';
  out += std::to_string(value.size());
  out += '\n';
  out += value;
  out += '\n';
}

class Parser {
 public:
  explicit Parser(const std::string& t) : t_(t) {}
  bool Literal(const std::string& s) {
    if (t_.compare(pos_, s.size(), s) != 0) return false;
    pos_ += s.size();
    return true;
  }
  bool Number(unsigned long long& n) {
    const size_t start = pos_;
    n = 0;
    while (pos_ < t_.size() && t_[pos_] >= '0' && t_[pos_] <= '9' && pos_ - start < 19) n = n * 10 + (t_[pos_++] - '0');
    return pos_ > start;
  }
  bool Field(const char* name, std::string& value) {
    unsigned long long n = 0;
    if (!Literal(std::string(name) + " ") || !Number(n) || !Literal("\n")) return false;
    if (n > t_.size() - pos_) return false;
    value = t_.substr(pos_, n);
    pos_ += n;
    return Literal("\n");
  }
  bool AtEnd() const { return pos_ == t_.size(); }

 private:
  const std::string& t_;
  size_t pos_ = 0;
};

}  // namespace

TFileSpoolStore::TFileSpoolStore(std::string folder) : folder_(std::move(folder)) {
  if (!folder_.empty() && folder_.back() != '/') folder_ += '/';
}

std::string TFileSpoolStore::Encode(const TArchiveEntry& e) {
  std::string out = kMagic;
  Field(out, "origem", e.origem);
  Field(out, "protocolo", std::to_string(e.protocolo));
  Field(out, "versao", e.versao);
  Field(out, "modelo", e.modelo);
  Field(out, "nomeTevarin", e.nomeTevarin);
  Field(out, "pastaSaida", e.pastaSaida);
  char t[64];
  std::snprintf(t, sizeof t, "%04d-%02d-%02d %02d:%02d:%02d.%03d", e.completo.year, e.completo.month,
                e.completo.day, e.completo.hour, e.completo.minute, e.completo.second, e.completo.msec);
  Field(out, "completo", t);
  Field(out, "linhas", std::to_string(e.linhas.size()));
  for (const auto& l : e.linhas) Field(out, "linha", l);
  out += "fim\n";
  return out;
}

bool TFileSpoolStore::Decode(const std::string& text, TArchiveEntry& e) {
  Parser p(text);
  std::string protocolo, completo, linhas;
  if (!p.Literal(kMagic) || !p.Field("origem", e.origem) || !p.Field("protocolo", protocolo) ||
      !p.Field("versao", e.versao) || !p.Field("modelo", e.modelo) || !p.Field("nomeTevarin", e.nomeTevarin) ||
      !p.Field("pastaSaida", e.pastaSaida) || !p.Field("completo", completo) || !p.Field("linhas", linhas))
    return false;
  try {
    size_t used = 0;
    e.protocolo = std::stoi(protocolo, &used);
    if (used != protocolo.size()) return false;
    used = 0;
    const unsigned long count = std::stoul(linhas, &used);
    if (used != linhas.size()) return false;
    TDateTime& c = e.completo;
    if (std::sscanf(completo.c_str(), "%d-%d-%d %d:%d:%d.%d", &c.year, &c.month, &c.day, &c.hour, &c.minute,
                    &c.second, &c.msec) != 7)
      return false;
    e.linhas.clear();
    for (unsigned long i = 0; i < count; ++i) {
      std::string l;
      if (!p.Field("linha", l)) return false;
      e.linhas.push_back(std::move(l));
    }
  } catch (const std::exception&) {
    return false;
  }
  // The end mark: a file cut short is never taken for a message.
  return p.Literal("fim\n") && p.AtEnd();
}

void TFileSpoolStore::ScanSequence() {
  if (scanned_) return;
  scanned_ = true;
  for (const auto& n : Names(folder_)) {
    const size_t digits = n.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string::npos) continue;
    const unsigned long long seq = std::strtoull(n.substr(0, digits).c_str(), nullptr, 10);
    next_ = std::max(next_, seq + 1);
  }
}

std::string TFileSpoolStore::Put(const TArchiveEntry& entry) {
  ScanSequence();
  const std::string text = Encode(entry);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    char seq[32];
    std::snprintf(seq, sizeof seq, "%020llu", next_++);
    const std::string key = std::string(seq) + kExt;
    const std::string destino = folder_ + key;
    std::string temp = destino + ".XXXXXX.tmp";
    const int fd = ::mkstemps(temp.data(), 4);
    if (fd < 0) throw std::runtime_error(SysError("N\xe3o foi poss\xedvel criar na fila", destino, errno));
    auto falhar = [&](int err) {
      ::unlink(temp.c_str());
      throw std::runtime_error(SysError("N\xe3o foi poss\xedvel gravar na fila", destino, err));
    };
    size_t escritos = 0;
    while (escritos < text.size()) {
      const ssize_t n = ::write(fd, text.data() + escritos, text.size() - escritos);
      if (n < 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        ::close(fd);
        falhar(err);
      }
      escritos += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
      const int err = errno;
      ::close(fd);
      falhar(err);
    }
    if (::close(fd) != 0) falhar(errno);
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, destino.c_str(), RENAME_NOREPLACE) != 0) {
      int err = errno;
      if (err == EINVAL || err == ENOSYS || err == ENOTSUP) {
        err = ::link(temp.c_str(), destino.c_str()) == 0 ? 0 : errno;
        ::unlink(temp.c_str());
        if (err == 0) {
          FlushFolder(folder_);
          return key;
        }
      } else {
        ::unlink(temp.c_str());
      }
      // Another process's entry (or a left-over) holds the number: take the next one.
      if (err == EEXIST) continue;
      throw std::runtime_error(SysError("N\xe3o foi poss\xedvel gravar na fila", destino, err));
    }
    try {
      FlushFolder(folder_);
    } catch (...) {
      // Not known to survive a power cut: taken back, the caller decides.
      ::unlink(destino.c_str());
      throw;
    }
    return key;
  }
  throw std::runtime_error("N\xe3o foi poss\xedvel gravar na fila " + folder_ + ": nenhum n\xfamero livre");
}

void TFileSpoolStore::Remove(const std::string& key) {
  const std::string path = folder_ + key;
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    throw std::runtime_error(SysError("N\xe3o foi poss\xedvel remover da fila", path, errno));
  // Without this a power cut could bring the entry back (and archive it twice).
  FlushFolder(folder_);
}

std::vector<std::pair<std::string, TArchiveEntry>> TFileSpoolStore::Load(std::vector<std::string>* problems) {
  ScanSequence();
  std::vector<std::pair<std::string, TArchiveEntry>> out;
  for (const auto& n : Names(folder_)) {
    const std::string path = folder_ + n;
    if (EndsWith(n, ".tmp")) {
      // A write that did not finish: its message was never taken, so nobody was told it was received.
      ::unlink(path.c_str());
      continue;
    }
    if (!EndsWith(n, kExt)) continue;
    std::string text;
    TArchiveEntry e;
    if (ReadAll(path, text) && Decode(text, e)) {
      out.emplace_back(n, std::move(e));
      continue;
    }
    const std::string aside = path + ".ilegivel";
    const bool moved = ::rename(path.c_str(), aside.c_str()) == 0;
    if (problems)
      problems->push_back("Item da fila ileg\xedvel: " + path + (moved ? " (renomeado para " + aside + ")" : ""));
  }
  return out;
}
