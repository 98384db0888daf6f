#pragma once
#include <firebird/Interface.h>

#include <string>

namespace fbapi {

// The client library's master interface, found once at start: linked on
// Linux (FbClientPosix.cpp), fbclient.dll loaded on Windows
// (FbClientWindows.cpp). Null, with the reason in error, when it is missing.
Firebird::IMaster* LoadMasterInterface(std::string& error);

}  // namespace fbapi
