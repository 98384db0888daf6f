#include "service/TKVRedurozozi.hpp"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <iostream>
#include <stdexcept>
#include <string>

#include <asio/post.hpp>

#include "clients/TSocketClient.hpp"
#include "service/TGlobal.hpp"
#include "db/TMyDB.hpp"
#include "lis/TLisWorkers.hpp"
#include "log/TLogSink.hpp"
#include "util/Encoding.hpp"
#include "util/FileSystem.hpp"

namespace fs = std::filesystem;

// Log texts are Windows-1252 bytes, like everything the service writes.
namespace {
const std::string HYPHENS = std::string(60, '-') + " ";
const char* const START_HEADER = "Iniciando servi\xE7o redurozozi (ASTM, HL7, ...)";
const char* const INSTALLED = "** SERVI\xC7O INSTALADO COM SUCESSO!";
const char* const LOAD_CONFIG = "[CARREGAR CONFIGURA\xC7\xD5" "ES]";
const char* const CONFIG_REFUSED =
    "N\xE3o \xE9 poss\xEDvel iniciar o servi\xE7o. Existe algum erro com o arquivo de configura\xE7\xF5"
    "es.";
const char* const DB_ERROR_BEFORE = "Banco de dados: ERRO [";
const char* const DB_ERROR_AFTER =
    "]. Verificar a configura\xE7\xE3o no arquivo de configura\xE7\xE3o (database.json ou "
    "kv_redurozozi.json) e a instala\xE7\xE3o do Firebird Client.";
const char* const CANNOT_START = "N\xE3o foi poss\xEDvel iniciar o servi\xE7o. Erro: ";
}  // namespace

TKVRedurozozi::TKVRedurozozi()
    : TService(SERVICE_NAME, DISPLAY_NAME), acceptor_(Context()), acceptRetry_(Context()) {
  ServiceCreate();
}

TKVRedurozozi::~TKVRedurozozi() {
  StopStatus();
  // The LIS workers and the look-up threads post into the loop: they must be
  // gone before it is (a worker stuck in a hung LIS posts nothing after Stop).
  if (global && global->lisWorkers) global->lisWorkers->Stop();
  // Likewise the disk's keeper (its "kept" is posted into the loop).
  if (global && global->disk) global->disk->Stop(std::chrono::milliseconds(0));
  lookups_.stop();
  lookups_.join();
  // Open connections close with the event loop (see TClientSession).
  std::error_code ec;
  acceptor_.close(ec);
}

void TKVRedurozozi::ServiceCreate() {
  global = std::make_unique<TGlobal>(ExecutablePath());
  // A fresh install must log from its first line.
  std::error_code ec;
  if (!global->path.empty()) fs::create_directories(fsys::PathOf(global->path) / "Logs", ec);
  for (int i = 0; i < 4; ++i) doLog("");
  doLog(HYPHENS);
  doLog(START_HEADER);
  doLog(HYPHENS);
}

void TKVRedurozozi::ServiceAfterInstall() { doLog(INSTALLED); }

void TKVRedurozozi::ServiceStart(bool& Started) {
  doLog("");
  doLog(LOAD_CONFIG);
  Started = false;
  if (!global->loadConfig()) {
    doLog(CONFIG_REFUSED);
    ExitCode = 1;
    return;
  }
  global->myDBInfo = global->config->myDBInfo;
  global->StartMyDB();
  global->StartLisWorkers();
  global->StartDisk();
  Started = true;
}

void TKVRedurozozi::ServiceExecute() {
  CheckDatabase();

  StartStatus();

  try {
    OpenListener(global->config->portaServico);
    ServerSocketListen();
    StartLinks();
    doLog("Pasta destino de arquivos: " + global->config->pastaSaida);
    // What an earlier run could not deliver goes first, before any new message
    // (the disk keeps their order); the port does not wait for it.
    StartDisk();
    while (!Terminated()) ProcessRequests(true);
    CloseConnections();
    // What the closed connections handed over is kept (or left with a thread that hangs).
    global->disk->Stop(STOP_DISK_TIME);
  } catch (const std::exception& e) {
    doLog(CANNOT_START + std::string(e.what()));
    ExitCode = 1;
  }
}

void TKVRedurozozi::CheckDatabase() {
  // On a worker, so that a LIS that hangs keeps the port closed no longer
  // than a lookup may take; the worker keeps the attachment for the first query.
  std::promise<TLisAnswer> promise;
  std::future<TLisAnswer> future = promise.get_future();
  global->lisWorkers->Run([](TLisWorkers::TConnection& c) { return c.Check(); },
                          [&promise](TLisAnswer answer) { promise.set_value(std::move(answer)); });
  TLisAnswer answer = future.get();  // the workers answer within timeoutLisSegundos
  if (answer.pedido) {
    if (answer.pedido->RecordCount() >= 1) doLog("Banco de dados: OK");
    global->lisMonitor.RecordCheck(true, {});
    return;
  }
  std::string reason = !answer.semResposta.empty() ? answer.semResposta : answer.erroPedido;
  // The driver's text spans lines; the log line keeps them on one.
  for (char& c : reason)
    if (c == '\r' || c == '\n') c = ' ';
  if (reason.empty()) reason = "sem resposta do banco de dados";
  doLog(DB_ERROR_BEFORE + reason + DB_ERROR_AFTER);
  global->lisMonitor.RecordCheck(false, reason);
}

void TKVRedurozozi::RunLisQuery(TLisQuery query, std::function<void(TLisAnswer)> done) {
  auto asked = std::make_shared<TLisQuery>(std::move(query));
  const auto start = std::chrono::steady_clock::now();
  auto work = [asked](TLisWorkers::TConnection& c) {
    TLisAnswer answer = LookUpQuery(c.Lookups(), *asked);
    if (!answer.pedido) answer.falhaBanco = c.LastError();
    return answer;
  };
  global->lisWorkers->Run(work, [this, start, done = std::move(done)](TLisAnswer answer) {
    RecordLookup(answer, std::chrono::steady_clock::now() - start);
    auto given = std::make_shared<TLisAnswer>(std::move(answer));
    asio::post(Context(), [done, given] { done(std::move(*given)); });
  });
}

void TKVRedurozozi::RecordLookup(const TLisAnswer& answer, std::chrono::steady_clock::duration took) {
  // A lookup that fails inside the database layer gives no table; its
  // message is in Logs/myDB.txt.
  TLisOutcome outcome = TLisOutcome::NotFound;
  std::string error;
  if (!answer.semResposta.empty()) {
    outcome = TLisOutcome::Timeout;
    error = answer.semResposta;
  } else if (!answer.erroPedido.empty() || !answer.falhaBanco.empty()) {
    outcome = TLisOutcome::Error;
    error = answer.erroPedido.empty() ? answer.falhaBanco : answer.erroPedido;
  } else if (answer.Encontrado()) {
    outcome = TLisOutcome::Found;
  }
  global->lisMonitor.RecordLookup(outcome, std::chrono::duration<double>(took).count(), error);
}

void TKVRedurozozi::ServiceStop(bool& Stopped) {
  doLog("");
  doLog("Finalizando!");
  doLog("...");
  doLog("..");
  doLog(".");
  Stopped = true;
}

void TKVRedurozozi::CreateOutputFolder() {
  try {
    const std::string& pasta = global->config->pastaSaida;
    if (pasta.empty()) throw std::runtime_error("caminho da pasta vazio");
    const fs::path folder = fsys::PathOf(Cp1252ToUtf8(pasta));
    if (!fs::is_directory(folder)) fs::create_directories(folder);
  } catch (const std::exception& e) {
    doLog("Erro ao tentar criar pasta. Erro: " + std::string(e.what()));
  }
}

void TKVRedurozozi::StartDisk() {
  TArchiveDisk& disk = *global->disk;
  // The delivery's thread tells the status page on the loop, never after the disk stopped.
  // Made (when missing) on the delivery's thread: a folder that hangs holds up that thread only.
  disk.onStart = [this] { CreateOutputFolder(); };
  disk.onDelivered = [this](const TArchiveEntry& entry, const std::string&) {
    TArchiveEntry counted;  // what counting needs, without the lines
    counted.modelo = entry.modelo;
    counted.protocolo = entry.protocolo;
    asio::post(Context(), [this, counted] {
      if (TStatusCollector* s = Status()) s->Delivered(counted);
    });
  };
  disk.Start();
}

void TKVRedurozozi::Keep(TKeepRequest request, std::function<void(TKept)> done) {
  TArchiveDisk::Done posted;
  if (done) {
    posted = [this, done = std::move(done)](const TKept& kept) {
      asio::post(Context(), [done, kept] { done(kept); });
    };
  }
  if (!global->disk->Keep(std::move(request.entry), request.whenSpoolFails, std::move(posted)) && done)
    ReportError("TKVRedurozozi.Keep: a grava\xE7\xE3o em disco j\xE1 terminou");
}

void TKVRedurozozi::OnFinished() {
  // Everything logged is on disk before the host is told the service stopped.
  if (global && global->log_) global->log_->flush();
}

void TKVRedurozozi::ReportError(const std::string& text) {
  // Stands in for the system event log: the journal gets stderr, the
  // operator reads the service log.
  std::cerr << SERVICE_NAME << ": " << text << std::endl;
  doLog("TKVRedurozozi -> Erro: " + text);
}
