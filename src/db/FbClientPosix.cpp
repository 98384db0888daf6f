#include "db/FbClient.hpp"

// Linux links libfbclient: its master interface is always there.
Firebird::IMaster* fbapi::LoadMasterInterface(std::string& /*error*/) { return Firebird::fb_get_master_interface(); }
