#include <nlohmann/json.hpp>

#include "status/StatusRender.hpp"
#include "util/Encoding.hpp"

THealth EvaluateHealth(const TStatusSnapshot& s) {
  THealth h;
  bool down = false;
  if (s.lis.checked && !s.lis.ok)
    h.reasons.push_back("LIS inacess\xC3\xADvel: " + Cp1252ToUtf8(s.lis.error));
  if (!s.outputWritable) {
    h.reasons.push_back("pasta de sa\xC3\xAD" "da sem escrita: " + Cp1252ToUtf8(s.outputFolder));
    // With the spool refusing as well, a result message has nowhere to be kept:
    // HL7 results go unacknowledged and ASTM ones wait in memory only.
    if (!s.spoolWritable) {
      h.reasons.push_back("spool sem escrita");
      down = true;
    }
  }
  if (s.folderSilentSeconds >= s.folderAlarmSeconds)
    h.reasons.push_back("pasta destino n\xC3\xA3o responde h\xC3\xA1 " + std::to_string(s.folderSilentSeconds) + " s");
  if (s.spoolDepth > 0 && s.spoolOldest != 0 &&
      s.taken - s.spoolOldest > static_cast<std::time_t>(s.spoolAlarmMinutes) * 60)
    h.reasons.push_back(std::to_string(s.spoolDepth) + " mensagem(ns) no spool h\xC3\xA1 mais de " +
                        std::to_string(s.spoolAlarmMinutes) + " minutos");
  for (const TAnalyzerStatus& a : s.analyzers)
    if (a.silent)
      h.reasons.push_back("analisador " + Cp1252ToUtf8(a.model) + " em sil\xC3\xAAncio h\xC3\xA1 " +
                          std::to_string(a.silenceMinutes) + " minutos ou mais");
  for (const TStatusLink& l : s.links)
    if (!l.link.open)
      h.reasons.push_back("conex\xC3\xA3o " + Cp1252ToUtf8(l.link.name) + " do analisador " + Cp1252ToUtf8(l.model) +
                          " fechada" + (l.link.lastError.empty() ? "" : ": " + Cp1252ToUtf8(l.link.lastError)));
  if (s.importAlarm)
    h.reasons.push_back("arquivo aguardando importa\xC3\xA7\xC3\xA3o h\xC3\xA1 mais de " +
                        std::to_string(s.importAlarmMinutes) + " minutos");
  h.status = down ? "down" : h.reasons.empty() ? "ok" : "degraded";
  return h;
}

std::string RenderHealthJson(const THealth& h) {
  nlohmann::json j = {{"status", h.status}, {"reasons", h.reasons}};
  // Texts that were not clean Windows-1252 must not make the endpoint fail.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
