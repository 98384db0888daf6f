// Placeholder until this concern is built; replaced wholesale by its owner.
#include "log/TLog.hpp"
struct TLog::Impl {};
TLog::TLog(const std::string& f, int32_t m) : file_name(f), max_file_size(m) {}
TLog::~TLog() = default;
void TLog::setFile(const std::string& f) { file_name = f; }
int64_t TLog::FileSize(const std::string&) { return -1; }
void TLog::make(const std::string&, bool) {}
void TLog::flush() {}
