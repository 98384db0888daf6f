#include "db/FbClient.hpp"
#include "util/NativeLibrary.hpp"

// fbclient.dll comes with the LIS's Firebird installation and may be missing.
Firebird::IMaster* fbapi::LoadMasterInterface(std::string& error) {
  using GetMaster = Firebird::IMaster* (*)();
  NativeFunction f = FindNativeFunction("fbclient", "fb_get_master_interface", error);
  return f ? reinterpret_cast<GetMaster>(f)() : nullptr;
}
