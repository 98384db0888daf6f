#include <windows.h>

#include "util/FileSystem.hpp"
#include "util/WideText.hpp"
#include "util/NativeLibrary.hpp"

NativeFunction FindNativeFunction(const std::string& library, const char* function, std::string& error) {
  const std::string file = library + ".dll";
  const std::string exe = fsys::ExecutablePath();
  const std::string beside = exe.substr(0, exe.find_last_of(fsys::PATH_SEPARATORS) + 1) + file;
  // The copy beside the executable wins; its own dependencies load from its folder.
  HMODULE h = ::LoadLibraryExW(WideOf(beside).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!h) h = ::LoadLibraryW(WideOf(file).c_str());
  if (!h) {
    error = file + " n\xE3o encontrada (" + fsys::ErrorText(static_cast<int>(::GetLastError())) + ")";
    return nullptr;
  }
  FARPROC f = ::GetProcAddress(h, function);
  if (!f) {
    error = file + ": " + function + " n\xE3o encontrada (" + fsys::ErrorText(static_cast<int>(::GetLastError())) + ")";
    return nullptr;
  }
  return reinterpret_cast<NativeFunction>(reinterpret_cast<void*>(f));
}
