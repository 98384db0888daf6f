#include "support/MemoryArchive.hpp"

#include <stdexcept>

#include "util/Encoding.hpp"

namespace kvtest {

namespace {

std::string WithoutSlash(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string Parent(const std::string& path) {
  const std::string p = WithoutSlash(path);
  const size_t slash = p.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return p.substr(0, slash);
}

bool Below(const std::string& path, const std::string& folder) {
  const std::string f = WithoutSlash(folder);
  const std::string prefix = f == "/" ? f : f + "/";
  return path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool MemoryArchive::Folder(const std::string& disk) const {
  const std::string p = WithoutSlash(disk);
  return p == "/" || folders_.count(p) > 0;
}

bool MemoryArchive::File(const std::string& disk) const { return files_.count(WithoutSlash(disk)) > 0; }

bool MemoryArchive::IsDirectory(const std::string& path) { return Folder(Cp1252ToUtf8(path)); }

bool MemoryArchive::IsTakenByFile(const std::string& path) { return File(Cp1252ToUtf8(path)); }

void MemoryArchive::CreateFolder(const std::string& path) {
  // mkdir: one level, inside an existing folder, on a free name; a failure stays silent.
  const std::string p = WithoutSlash(Cp1252ToUtf8(path));
  if (Folder(Parent(p)) && !File(p)) folders_.insert(p);
}

bool MemoryArchive::HoldsExactly(const std::string& path, const std::string& text) {
  const auto it = files_.find(WithoutSlash(Cp1252ToUtf8(path)));
  return it != files_.end() && it->second == text;
}

void MemoryArchive::Save(const std::string& path, const std::string& text) {
  const std::string disk = Cp1252ToUtf8(path);
  if (!failWith.empty()) throw std::runtime_error("N\xe3o foi poss\xedvel criar " + path + ": " + failWith);
  // The real writer first creates a temporary file beside the name, then renames it.
  for (std::string up = Parent(disk); up != "/"; up = Parent(up)) {
    if (File(up)) throw std::runtime_error("N\xe3o foi poss\xedvel criar " + path + ": Not a directory");
  }
  if (!Folder(Parent(disk)))
    throw std::runtime_error("N\xe3o foi poss\xedvel criar " + path + ": No such file or directory");
  if (File(disk) || Folder(disk))
    throw std::runtime_error("N\xe3o foi poss\xedvel renomear para " + path + ": File exists");
  files_[disk] = text;
}

void MemoryArchive::AddFolder(const std::string& path) {
  for (std::string p = WithoutSlash(path); p != "/"; p = Parent(p)) folders_.insert(p);
}

void MemoryArchive::AddFile(const std::string& path, const std::string& text) {
  AddFolder(Parent(path));
  files_[path] = text;
}

void MemoryArchive::Remove(const std::string& path) {
  const std::string p = WithoutSlash(path);
  std::erase_if(folders_, [&](const std::string& f) { return f == p || Below(f, p); });
  std::erase_if(files_, [&](const auto& f) { return f.first == p || Below(f.first, p); });
}

std::vector<std::string> MemoryArchive::Files(const std::string& folder) const {
  const std::string f = WithoutSlash(folder);
  const size_t skip = f == "/" ? 1 : f.size() + 1;
  std::vector<std::string> out;
  for (const auto& [path, text] : files_)
    if (Below(path, f)) out.push_back(path.substr(skip));
  return out;  // the map keeps them sorted
}

std::string MemoryArchive::Read(const std::string& path) const {
  const auto it = files_.find(path);
  return it == files_.end() ? std::string() : it->second;
}

}  // namespace kvtest
