// Placeholder until this concern is built; replaced wholesale by its owner.
#include "db/TMyDB.hpp"
struct TMyDB::Impl {};
TMyDB::TMyDB(const TMyDBInfo& i, const std::string& f) : info(i), log_(f, 300000) {}
TMyDB::~TMyDB() = default;
std::unique_ptr<TResultTable> TMyDB::Select(const std::string&, bool, const std::vector<TDbValue>&) { return nullptr; }
