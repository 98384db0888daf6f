#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "archive/TOldSpool.hpp"
#include "util/FileSystem.hpp"

namespace {

const char* const MAGIC = "KVSPOOL 1\n";
const char* const EXTENSION = ".entry";

std::string SysError(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + fsys::ErrorText(err);
}

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

void FlushFolder(const std::string& folder) {
  int err = 0;
  bool opened = false;
  if (fsys::FlushFolder(folder, err, &opened)) return;
  if (!opened) throw std::runtime_error(SysError("N\xe3o foi poss\xedvel abrir a fila", folder, err));
  throw std::runtime_error(SysError("N\xe3o foi poss\xedvel gravar na fila", folder, err));
}

std::vector<std::string> Names(const std::string& folder) { return fsys::ListFolder(folder); }

bool ReadAll(const std::string& path, std::string& out) {
  out.clear();
  int err = 0;
  return fsys::ReadWholeFile(path, out, err);
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

TOldSpool::TOldSpool(std::string folder) : folder_(std::move(folder)) {
  if (!folder_.empty() && folder_.back() != fsys::PATH_SEPARATOR) folder_ += fsys::PATH_SEPARATOR;
}

std::string TOldSpool::Encode(const TArchiveEntry& e) {
  std::string out = MAGIC;
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

bool TOldSpool::Decode(const std::string& text, TArchiveEntry& e) {
  Parser p(text);
  std::string protocolo, completo, linhas;
  if (!p.Literal(MAGIC) || !p.Field("origem", e.origem) || !p.Field("protocolo", protocolo) ||
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

void TOldSpool::Remove(const std::string& key) {
  const std::string path = folder_ + key;
  int err = 0;
  if (!fsys::RemoveFile(path, err) && !fsys::NotFound(err))
    throw std::runtime_error(SysError("N\xe3o foi poss\xedvel remover da fila", path, err));
  // Without this a power cut could bring the entry back (and archive it twice).
  FlushFolder(folder_);
}

std::vector<std::pair<std::string, TArchiveEntry>> TOldSpool::Load(std::vector<std::string>* problems) {
  std::vector<std::pair<std::string, TArchiveEntry>> out;
  for (const auto& n : Names(folder_)) {
    const std::string path = folder_ + n;
    if (EndsWith(n, ".tmp")) {
      // A write that did not finish: its message was never taken, so nobody was told it was received.
      int ignored = 0;
      (void)fsys::RemoveFile(path, ignored);
      continue;
    }
    if (!EndsWith(n, EXTENSION)) continue;
    std::string text;
    TArchiveEntry e;
    if (ReadAll(path, text) && Decode(text, e)) {
      out.emplace_back(n, std::move(e));
      continue;
    }
    const std::string aside = path + ".ilegivel";
    int err = 0;
    const bool moved = fsys::RenameFile(path, aside, err);
    if (problems)
      problems->push_back("Item da fila ileg\xedvel: " + path + (moved ? " (renomeado para " + aside + ")" : ""));
  }
  return out;
}
