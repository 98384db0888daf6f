#include <memory>
#include <optional>
#include <utility>

#include "clients/TSocketClient.hpp"
#include "config/TConfigJson.hpp"
#include "config/TSerialSettings.hpp"
#include "service/TGlobal.hpp"
#include "service/TKVRedurozozi.hpp"

namespace {

// The link a configured analyzer asks for, if any (the load has checked its keys).
std::optional<TLinkTarget> LinkOf(const TAnalisador& a) {
  if (!a.portaSerial.empty()) {
    TSerialSettings line;
    line.velocidade = a.velocidade;
    line.bitsDados = a.bitsDados;
    line.paridade = ParidadeFromWord(a.paridade).value_or(TParidade::Nenhuma);
    line.bitsParada = a.bitsParada;
    line.controleFluxo = ControleFluxoFromWord(a.controleFluxo).value_or(TControleFluxo::Nenhum);
    return SerialTarget(a.portaSerial, line);
  }
  if (!a.conectarEm.empty()) return TcpTarget(a.conectarEm);
  return std::nullopt;
}

}  // namespace

void TKVRedurozozi::StartLinks() {
  for (const auto& a : global->config->analisadores) {
    const std::optional<TLinkTarget> target = LinkOf(*a);
    if (!target) {
      if (!a->conectarEm.empty())
        doLog("Conex\xE3o " + a->conectarEm + " do analisador " + a->modelo + " ignorada: conectarEm n\xE3o \xE9 host:porta");
      continue;
    }
    // The serve callback needs its keeper, which does not exist yet when the callback is made.
    auto self = std::make_shared<TLinkKeeper*>(nullptr);
    auto keeper = std::make_shared<TLinkKeeper>(
        acceptor_.get_executor(), *target, std::chrono::seconds(a->intervaloReconexaoSegundos),
        [](const std::string& line) { doLog(line); },
        [this, self, withoutCrLf = a->controleSemCRLF](std::unique_ptr<TLinkStream> stream, const std::string& name) {
          ServeLink(**self, withoutCrLf, std::move(stream), name);
        });
    *self = keeper.get();
    links_.push_back({a->modelo, std::move(keeper)});
  }
  for (const TLink& l : links_) l.keeper->Start();
}

void TKVRedurozozi::StopLinks() {
  for (const TLink& l : links_) l.keeper->Stop();
  linkRecords_.clear();
}

void TKVRedurozozi::ServeLink(TLinkKeeper& keeper, bool controlWithoutCrLf, std::unique_ptr<TLinkStream> stream,
                              const std::string& name) {
  TSessionSettings settings = SessionSettings();
  settings.controlWithoutCrLf = controlWithoutCrLf;
  auto session = std::make_shared<TClientSession>(static_cast<TSessionHost&>(*this), settings, std::move(stream));
  KeepSession(session);
  // The session makes its record at once: Connected ties that record to this keeper.
  connectingLink_ = &keeper;
  session->StartLink(name);
  connectingLink_ = nullptr;
}

void TKVRedurozozi::LinkEnded(const TSocketClient& client, const std::error_code& how) {
  const auto it = linkRecords_.find(&client);
  if (it == linkRecords_.end()) return;
  TLinkKeeper* keeper = it->second;
  linkRecords_.erase(it);
  if (how)
    keeper->Lost(how);
  else  // the service closed it (over the input bound): opened afresh after the interval
    keeper->Lost(TLinkFailure{TLinkFailureKind::Other, "encerrada pelo servi\xE7o"});
}

std::vector<TKVRedurozozi::TLinkState> TKVRedurozozi::LinkStates() const {
  std::vector<TLinkState> states;
  for (const TLink& l : links_) states.push_back({l.modelo, l.keeper->Status()});
  return states;
}
