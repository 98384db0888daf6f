// The configuration load from files: the input up to the first NUL byte is
// kv_redurozozi.json, the rest (when there is a NUL) database.json.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>

#include "FuzzSupport.hpp"
#include "config/TConfigJson.hpp"

namespace {

std::string Folder() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/kvfuzz-config-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (!made) kvfuzz::Fail("cannot make a temporary folder");
    return std::string(made) + "/";
  }();
  return dir;
}

void Put(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string main = input.substr(0, nul);
  const std::string dir = Folder();
  Put(dir + "kv_redurozozi.json", main);
  if (nul == std::string::npos)
    ::unlink((dir + "database.json").c_str());
  else
    Put(dir + "database.json", input.substr(nul + 1));
  TConfigJson config;
  try {
    config.Load(dir + "kv_redurozozi.json");
  } catch (const TConfigError&) {
    return 0;  // a refused file: its text names the file and the key
  } catch (const std::exception& e) {
    kvfuzz::Fail(std::string("Load threw something other than TConfigError: ") + e.what());
  }
  for (const auto& a : config.analisadores) {
    if (!a) kvfuzz::Fail("a null analyzer");
    for (const TExame* e : a->exames)
      if (!e) kvfuzz::Fail("a null exam");
  }
  return 0;
}
