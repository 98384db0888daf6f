#include "links/TLinkFailure.hpp"

#include <asio/error.hpp>

namespace {
std::string WithDetail(const std::string& reason, const std::string& detail) {
  return detail.empty() ? reason : reason + " (" + detail + ")";
}
}  // namespace

std::string Describe(const TLinkFailure& f) {
  using K = TLinkFailureKind;
  switch (f.kind) {
    case K::None: return "";
    case K::DeviceMissing: return "dispositivo inexistente";
    case K::PermissionDenied: return "sem permiss\xE3o para abrir o dispositivo";
    case K::Busy: return "porta em uso por outro programa";
    case K::NotSerialPort: return "n\xE3o \xE9 uma porta serial";
    case K::SettingsRefused: return WithDetail("configura\xE7\xE3o recusada pela porta", f.detail);
    case K::DeviceLost: return WithDetail("dispositivo desconectado", f.detail);
    case K::NameUnknown: return "nome n\xE3o encontrado";
    case K::Refused: return "conex\xE3o recusada";
    case K::Unreachable: return "destino inalcan\xE7\xE1vel";
    case K::NoAnswer: return "sem resposta";
    case K::Reset: return "conex\xE3o interrompida (reset)";
    case K::ClosedByPeer: return "conex\xE3o encerrada pelo servidor de portas";
    case K::Other: return WithDetail("erro", f.detail);
  }
  return "";
}

TLinkFailure ConnectFailure(const std::error_code& ec) {
  using K = TLinkFailureKind;
  if (ec == asio::error::host_not_found || ec == asio::error::host_not_found_try_again ||
      ec == asio::error::no_data || ec == asio::error::service_not_found)
    return {K::NameUnknown, ""};
  if (ec == asio::error::connection_refused) return {K::Refused, ""};
  if (ec == asio::error::host_unreachable || ec == asio::error::network_unreachable ||
      ec == asio::error::network_down)
    return {K::Unreachable, ""};
  if (ec == asio::error::timed_out) return {K::NoAnswer, ""};
  if (ec == asio::error::connection_reset) return {K::Reset, ""};
  return {K::Other, ec.message()};
}

TLinkFailure LostFailure(TLinkTarget::TKind kind, const std::error_code& ec) {
  using K = TLinkFailureKind;
  if (kind == TLinkTarget::TKind::Serial) {
    // A tty whose device went away reads as ended, or fails its reads and writes.
    return {K::DeviceLost, ec == asio::error::eof ? "" : ec.message()};
  }
  if (ec == asio::error::eof) return {K::ClosedByPeer, ""};
  if (ec == asio::error::connection_reset || ec == asio::error::connection_aborted ||
      ec == asio::error::broken_pipe)
    return {K::Reset, ""};
  if (ec == asio::error::timed_out) return {K::NoAnswer, ""};  // the keep-alive found the port server gone
  return {K::Other, ec.message()};
}
