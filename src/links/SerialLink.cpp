#include "links/SerialLink.hpp"

#include "host/SerialDevice.hpp"

namespace {

using Base = asio::serial_port_base;

// Sets the option and reads it back: true when the port holds the value asked for.
template <class Option>
bool Takes(asio::serial_port& port, const Option& wanted) {
  std::error_code ec;
  port.set_option(wanted, ec);
  if (ec) return false;
  Option held;
  port.get_option(held, ec);
  return !ec && held.value() == wanted.value();
}

// The first setting the port refuses ("" when it takes them all).
std::string RefusedSetting(asio::serial_port& port, const TSerialSettings& s) {
  if (s.velocidade <= 0 || !Takes(port, Base::baud_rate(static_cast<unsigned>(s.velocidade))))
    return "velocidade " + std::to_string(s.velocidade);
  // (asio throws on a size outside 5..8 instead of answering an error.)
  if (s.bitsDados < 5 || s.bitsDados > 8 || !Takes(port, Base::character_size(static_cast<unsigned>(s.bitsDados))))
    return "bitsDados " + std::to_string(s.bitsDados);
  const Base::parity::type parity = s.paridade == TParidade::Par     ? Base::parity::even
                                    : s.paridade == TParidade::Impar ? Base::parity::odd
                                                                     : Base::parity::none;
  if (!Takes(port, Base::parity(parity))) return "paridade " + Word(s.paridade);
  if ((s.bitsParada != 1 && s.bitsParada != 2) ||
      !Takes(port, Base::stop_bits(s.bitsParada == 2 ? Base::stop_bits::two : Base::stop_bits::one)))
    return "bitsParada " + std::to_string(s.bitsParada);
  const Base::flow_control::type flow = s.controleFluxo == TControleFluxo::RtsCts    ? Base::flow_control::hardware
                                        : s.controleFluxo == TControleFluxo::XonXoff ? Base::flow_control::software
                                                                                     : Base::flow_control::none;
  if (!Takes(port, Base::flow_control(flow))) return "controleFluxo " + Word(s.controleFluxo);
  return "";
}

TLinkFailureKind KindOf(TSerialOpenError e) {
  switch (e) {
    case TSerialOpenError::None: return TLinkFailureKind::None;
    case TSerialOpenError::Missing: return TLinkFailureKind::DeviceMissing;
    case TSerialOpenError::Permission: return TLinkFailureKind::PermissionDenied;
    case TSerialOpenError::Busy: return TLinkFailureKind::Busy;
    case TSerialOpenError::NotSerialPort: return TLinkFailureKind::NotSerialPort;
    case TSerialOpenError::Other: return TLinkFailureKind::Other;
  }
  return TLinkFailureKind::Other;
}

}  // namespace

TLinkFailure OpenSerialLink(asio::serial_port& port, const std::string& device, const TSerialSettings& settings) {
  const TSerialOpenResult opened = OpenSerialDevice(port, device);
  if (opened.error != TSerialOpenError::None)
    return {KindOf(opened.error), opened.error == TSerialOpenError::Other ? opened.ec.message() : ""};
  const std::string refused = RefusedSetting(port, settings);
  if (refused.empty()) return {};
  std::error_code ignored;
  port.close(ignored);
  return {TLinkFailureKind::SettingsRefused, refused};
}
