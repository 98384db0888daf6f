#include "archive/TArchiveWriter.hpp"

#include <stdexcept>

#include "util/Encoding.hpp"
#include "util/FileSystem.hpp"

namespace {

std::string SysPath(const std::string& cp1252) { return Cp1252ToUtf8(cp1252); }

std::string SysError(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + fsys::ErrorText(err);
}

}  // namespace

// Writers that keep their files elsewhere (in memory) write at Publish.
TArchiveWriter::TStaged TArchiveWriter::Stage(const std::string& path, const std::string& text) {
  return {path, std::string(), text};
}

bool TArchiveWriter::Publish(const TStaged& staged) {
  if (IsTakenByFile(staged.path)) return false;
  Save(staged.path, staged.text);
  return true;
}

void TArchiveWriter::Discard(const TStaged&) {}
void TArchiveWriter::DiscardTemp(const std::string&) {}
void TArchiveWriter::FlushFolder(const std::string&) {}
bool TArchiveWriter::HoldsExactly(const std::string&, const std::string&) { return false; }

bool TFileArchiveWriter::IsDirectory(const std::string& path) { return fsys::IsDirectory(SysPath(path)); }

bool TFileArchiveWriter::IsTakenByFile(const std::string& path) {
  fsys::FileInfo info;
  int err = 0;
  return fsys::Stat(SysPath(path), info, false, err) && !info.isDirectory;
}

void TFileArchiveWriter::CreateFolder(const std::string& path) {
  int err = 0;
  (void)fsys::MakeFolder(SysPath(path), 0777, err);
}

void TFileArchiveWriter::Save(const std::string& path, const std::string& conteudo) {
  const std::string destino = SysPath(path);

  // Written under a temporary name in the same folder and then given its
  // final name in one step, never replacing a file (an archive of another
  // message may carry that name), so the LIS never imports half a file.
  int err = 0;
  switch (fsys::WriteNewFile(destino, conteudo, true, err)) {
    case fsys::NewFileStep::None: break;
    case fsys::NewFileStep::Create: throw std::runtime_error(SysError("N\xe3o foi poss\xedvel criar", path, err));
    case fsys::NewFileStep::Write: throw std::runtime_error(SysError("N\xe3o foi poss\xedvel gravar", path, err));
    case fsys::NewFileStep::Rename:
      throw std::runtime_error(SysError("N\xe3o foi poss\xedvel renomear para", path, err));
  }

  // Makes the new name itself durable.
  const std::string pasta = destino.substr(0, destino.find_last_of(fsys::PATH_SEPARATORS) + 1);
  (void)fsys::FlushFolder(pasta, err);
}

TArchiveWriter::TStaged TFileArchiveWriter::Stage(const std::string& path, const std::string& conteudo) {
  TStaged staged{path, std::string(), std::string()};
  int err = 0;
  switch (fsys::WriteTempFile(SysPath(path), conteudo, true, staged.temp, err)) {
    case fsys::NewFileStep::None: break;
    case fsys::NewFileStep::Create: throw std::runtime_error(SysError("N\xe3o foi poss\xedvel criar", path, err));
    default: throw std::runtime_error(SysError("N\xe3o foi poss\xedvel gravar", path, err));
  }
  return staged;
}

bool TFileArchiveWriter::Publish(const TStaged& staged) {
  int err = 0;
  if (fsys::RenameNew(staged.temp, SysPath(staged.path), err)) return true;
  // A file that took the name since it was chosen; a folder there fails like any other write.
  if (fsys::AlreadyExists(err) && IsTakenByFile(staged.path)) return false;
  throw std::runtime_error(SysError("N\xe3o foi poss\xedvel renomear para", staged.path, err));
}

void TFileArchiveWriter::Discard(const TStaged& staged) { DiscardTemp(staged.temp); }

void TFileArchiveWriter::DiscardTemp(const std::string& temp) {
  int err = 0;
  if (!temp.empty()) (void)fsys::RemoveFile(temp, err);
}

void TFileArchiveWriter::FlushFolder(const std::string& folder) {
  // As after Save: a folder that cannot be flushed (some network file
  // systems refuse it) does not undo the files in it.
  int err = 0;
  (void)fsys::FlushFolder(SysPath(folder), err);
}

bool TFileArchiveWriter::HoldsExactly(const std::string& path, const std::string& text) {
  std::string there;
  int err = 0;
  return fsys::ReadWholeFile(SysPath(path), there, err) && there == text;
}
