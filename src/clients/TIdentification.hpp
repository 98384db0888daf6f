#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "clients/TClientFields.hpp"
#include "clients/TClientPorts.hpp"

// Which protocol and analyzer a connection speaks, found once from the first
// header line of its input buffer. Identification reads the header and the
// configuration only: the analyzer's LIS device is looked up with its first
// host query, which brings it here (DeviceArrived).
class TIdentification {
 public:
  TIdentification(TClientFields& fields, TClientPorts& ports) : fields_(fields), ports_(ports) {}

  // The client's protocol code, identifying it first while it is still 0.
  // lastLineMayGrow: the next chunk may still continue the buffer's last line,
  // so a header standing there is left for later (read half, it would give
  // this connection a wrong model for good).
  int32_t GetProtocolInBuffer(bool lastLineMayGrow);
  // A JSON header line: begins with "{" while the buffer holds "Icounter".
  bool IsLineJson(const std::string& linha) const;
  // Fills the client analyzer from the header line that identified it. With
  // framing (identification proper) the framing flags are read from the line
  // and the device is wanted; block extraction identifies without both.
  void IdentifyHeader(const std::string& linha, bool withFraming);
  // True when msg holds more than two lines that are not blank.
  bool IsMultiLineMessage(const std::string& msg) const;

  // True from identification by a standard header until a host query's
  // lookup brought the device (found or not).
  bool DeviceWanted() const { return deviceWanted_; }
  // The device a host query's lookup found (none: the LIS does not know it).
  void DeviceArrived(std::unique_ptr<TAparelhoTevarin> device);

 private:
  // Index of the line that decides identification, or npos; sets *json when it is a JSON line.
  size_t IdentificationLine(bool* json) const;

  TClientFields& fields_;
  TClientPorts& ports_;
  bool deviceWanted_ = false;
};
