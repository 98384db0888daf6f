#include "clients/TClientPorts.hpp"

#include "clients/TClientEvents.hpp"
#include "config/TConfigJson.hpp"
#include "log/TLogSink.hpp"
#include "protocol/Lines.hpp"

TClientPorts::TClientPorts(const TSocketClient& record, TClientContext context)
    : record_(record), context_(std::move(context)) {}

void TClientPorts::Log(const std::string& txt) const {
  if (context_.log) context_.log->make(txt);
  if (context_.events && txt.find("Erro") != std::string::npos) context_.events->ErrorLogged(record_, txt);
}

void TClientPorts::LogError(const std::string& where, const std::exception& e, const std::string& detail) const {
  ::LogError(context_.log, where, e, detail);
  if (context_.events) context_.events->ErrorLogged(record_, ErrorLine(where, e.what(), detail));
}

void TClientPorts::LogResidue(const std::deque<std::string>& inputBuffer) const {
  Log("");
  Log("Buffer cont\xe9m res\xed" "duos da \xfaltima mensagem recebida: {" + protocol::LinesText(inputBuffer) + "}");
}

bool TClientPorts::Debug() const { return context_.config && context_.config->debug; }

bool TClientPorts::VerifyChecksums() const { return !context_.config || context_.config->verificarChecksum; }

TDateTime TClientPorts::Now() const { return context_.clock ? context_.clock() : SystemNow(); }

TArchiveWriter& TClientPorts::Archive() { return context_.archive ? *context_.archive : fileArchive_; }

void TClientPorts::ResultReceived() const {
  if (context_.events) context_.events->ResultReceived(record_);
}

void TClientPorts::QueryAnswered(bool found) const {
  if (context_.events) context_.events->QueryAnswered(record_, found);
}

void TClientPorts::ReplyQueued() const {
  if (context_.events) context_.events->ReplyQueued(record_);
}

void TClientPorts::ChecksumRefused() const {
  if (context_.events) context_.events->ChecksumRefused(record_);
}

void TClientPorts::DuplicateFrame() const {
  if (context_.events) context_.events->DuplicateFrame(record_);
}
