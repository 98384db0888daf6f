#pragma once
#include <exception>
#include <string>

// Where a component writes its log lines: the service log in the service,
// a list of lines in a test.
class TLogSink {
 public:
  virtual ~TLogSink() = default;
  // Writes one entry (an empty text is a blank line).
  virtual void make(const std::string& txt, bool newLine = true) = 0;
};

// The error line of an operation: where + "() -> Erro: " + what. A detail
// (when given) stands between the parentheses and the arrow.
std::string ErrorLine(const std::string& where, const std::string& what, const std::string& detail = {});

// Writes ErrorLine(where, e.what(), detail) to log; nothing when log is absent.
void LogError(TLogSink* log, const std::string& where, const std::exception& e, const std::string& detail = {});
