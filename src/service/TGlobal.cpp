#include "service/TGlobal.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

#include "db/TMyDB.hpp"
#include "lis/TLisDatabaseConnection.hpp"
#include "lis/TLisLookups.hpp"
#include "lis/TLisWorkers.hpp"
#include "util/FileSystem.hpp"

std::unique_ptr<TGlobal> global;

namespace {

std::string AsciiLower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The executable's file name without a final ".exe" (a Windows build name kept on Linux).
std::string WithoutExe(const std::string& lowerName) {
  const std::string exe = ".exe";
  if (lowerName.size() > exe.size() && lowerName.compare(lowerName.size() - exe.size(), exe.size(), exe) == 0)
    return lowerName.substr(0, lowerName.size() - exe.size());
  return lowerName;
}

}  // namespace

TGlobal::TGlobal(const std::string& exePath) : service_file_name(exePath) {
  const size_t slash = exePath.find_last_of(fsys::PATH_SEPARATORS);
  const std::string folder = slash == std::string::npos ? std::string(".") : exePath.substr(0, slash);
  const std::string fileName = slash == std::string::npos ? exePath : exePath.substr(slash + 1);
  // Only the file name is lower-cased: Linux folder names are case-sensitive.
  const std::string baseName = WithoutExe(AsciiLower(fileName));
  const std::string sep(1, fsys::PATH_SEPARATOR);

  path = folder + sep;
  service_file_name_new = path + baseName + ".new";
  temp_path = path + "temp" + sep;
  spool_path = path + "spool" + sep;
  log_file_name = path + "Logs" + sep + "Redurozozi.txt";
  db_log_file_name = path + "Logs" + sep + "myDB.txt";
  config_file_name = path + baseName + ".json";

  clients = std::make_unique<TSocketClientList>();
  reiniciar_monitor = false;

  // A fresh install has no Logs folder; without it every log line would be lost.
  int err = 0;
  (void)fsys::MakeFolder(path + "Logs", 0755, err);
  (void)fsys::MakeFolder(temp_path, 0755, err);  // a failure is ignored: nothing needs it
  // A failure shows when the first message cannot be put there.
  (void)fsys::MakeFolder(spool_path, 0755, err);

  log_ = std::make_unique<TLog>(log_file_name, 1000000);
  log_->now = [this] { return clock(); };
  lis = std::make_unique<TLisDatabaseLookups>([this] { return myDB.get(); },
                                              [this] { return config && config->debug; }, log_.get());
}

TGlobal::~TGlobal() {
  // The workers use the log, the configuration and the database log: they end first.
  if (lisWorkers) lisWorkers->Stop();
  if (disk) disk->Stop(std::chrono::seconds(2));
}

bool TGlobal::loadConfig() {
  bool result = false;
  // Written through this instance's own log, which is the service log when this is `global`.
  auto log = [this](const std::string& txt) {
    if (log_) log_->make(txt, true);
  };
  try {
    config = std::make_unique<TConfigJson>();
    config->Load(config_file_name);
    if (log_) log_->generations = config->geracoesLog;
    result = true;
    if (config->debug) {
      log("[Modo Debug ativado, pausando 10 segundos ... ]");
      sleep(10000);
    }
    log("Carregando configura\xE7\xF5" "es de KV_Redurozozi.json\tOK");
  } catch (const std::exception& e) {
    log(ErrorLine("TGlobal.loadConfig", e.what()));
  }
  return result;
}

void TGlobal::StartMyDB() {
  // An attach may not take longer than a lookup may (a half-open network path).
  if (config) myDBInfo.connectTimeoutSeconds = config->timeoutLisSegundos;
  myDB = std::make_unique<TMyDB>(myDBInfo, db_log_file_name);
}

void TGlobal::StartLisWorkers() {
  const TConfigJson& c = config ? *config : TConfigJson::Initial();
  TLisWorkers::TOptions options;
  options.threads = c.threadsLis;
  options.timeout = std::chrono::seconds(c.timeoutLisSegundos);
  TLog& dbLog = myDB->log_;
  lisWorkers = std::make_unique<TLisWorkers>(options, [this, &dbLog] {
    return std::make_unique<TLisDatabaseConnection>(
        myDBInfo, db_log_file_name, dbLog, [this] { return config && config->debug; }, log_.get());
  });
}

void TGlobal::StartDisk() {
  const TConfigJson& c = config ? *config : TConfigJson::Initial();
  TArchiveDisk::TOptions options;
  options.delivery.retry = std::chrono::seconds(std::max(1, c.intervaloReenvioSegundos));
  disk = std::make_unique<TArchiveDisk>(options, spool_path, archive, log_.get());
}

TClientContext TGlobal::ClientContext() {
  TClientContext c;
  c.log = log_.get();
  c.config = config.get();
  c.lis = lis.get();
  c.archive = &archive;
  c.clock = [this] { return clock(); };
  c.lookupsDeferred = lisWorkers != nullptr;
  c.keepDeferred = disk != nullptr;
  c.events = events;
  return c;
}

void TGlobal::DefaultSleep(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void doLog(const std::string& txt, bool /*newLine: every caller passes true*/) {
  if (!global || !global->log_) return;
  global->log_->make(txt, true);
}

bool modoDebug() { return global && global->config && global->config->debug; }

std::string ExecutablePath() { return fsys::ExecutablePath(); }
