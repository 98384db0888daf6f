#include "log/TLogSink.hpp"

std::string ErrorLine(const std::string& where, const std::string& what, const std::string& detail) {
  std::string line = where + "()";
  if (!detail.empty()) line += " " + detail;
  return line + " -> Erro: " + what;
}

void LogError(TLogSink* log, const std::string& where, const std::exception& e, const std::string& detail) {
  if (log) log->make(ErrorLine(where, e.what(), detail));
}
