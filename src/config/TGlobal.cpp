// Placeholder until this concern is built; replaced wholesale by its owner.
#include "config/TGlobal.hpp"
#include "clients/TSocketClient.hpp"
#include "db/TMyDB.hpp"
#include <chrono>
#include <thread>
std::unique_ptr<TGlobal> global;
TGlobal::TGlobal(const std::string& exePath) : service_file_name(exePath) { clients = std::make_unique<TSocketClientList>(); }
TGlobal::~TGlobal() = default;
bool TGlobal::loadConfig() { config = std::make_unique<TConfigJson>(); return true; }
void TGlobal::StartMyDB() { myDB = std::make_unique<TMyDB>(myDBInfo, db_log_file_name); }
void TGlobal::DefaultSleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
void doLog(const std::string&, bool) {}
bool modoDebug() { return global && global->config && global->config->debug; }
std::string ExecutablePath() { return {}; }
