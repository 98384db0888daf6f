#pragma once
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>
#include <functional>
#include <memory>
#include <string>

#include "config/TAnalisador.hpp"
#include "db/TResultTable.hpp"
#include "lis/LisStatements.hpp"

class TLogSink;
class TMyDB;

// The LIS lookups a client record makes: the analyzer's device, a sample's
// order and the order's test names. A record reaches the LIS only through this.
class TLisLookups {
 public:
  virtual ~TLisLookups() = default;
  // The analyzer's device record with its exam codes; none when the LIS has none.
  virtual std::unique_ptr<TAparelhoTevarin> GetAparelhoTevarin(const TAnalisador& pAnalisador) = 0;
  // The order rows of a visible order code; none when the lookup failed or cannot match.
  virtual std::unique_ptr<TResultTable> GetDadosProtocolo(const TAnalisador& pAnalisador,
                                                          const std::string& pProtocolo) = 0;
  // The analyzer's names of an order's tests on the analyzer's device; none without a device.
  virtual std::unique_ptr<TResultTable> GetExamesProtocolo(const TAnalisador& pAnalisador, int32_t pPED_COD) = 0;
};

// The lookups over the LIS database, with the statements of LisStatements.hpp.
class TLisDatabaseLookups : public TLisLookups {
 public:
  // db answers the database object of the moment (none: nothing is found);
  // debug (may be empty) tells whether diagnostic lines are wanted; log (may be null) takes the lines.
  // keepConnected: the attachment stays open between lookups (checked when it
  // sat idle, opened again after a failure) instead of one attach per statement.
  TLisDatabaseLookups(std::function<TMyDB*()> db, std::function<bool()> debug, TLogSink* log,
                      bool keepConnected = false);

  std::unique_ptr<TAparelhoTevarin> GetAparelhoTevarin(const TAnalisador& pAnalisador) override;
  std::unique_ptr<TResultTable> GetDadosProtocolo(const TAnalisador& pAnalisador,
                                                  const std::string& pProtocolo) override;
  std::unique_ptr<TResultTable> GetExamesProtocolo(const TAnalisador& pAnalisador, int32_t pPED_COD) override;

 private:
  bool Debug() const;
  void Log(const std::string& txt) const;
  // Runs a statement; with a kept attachment, a broken one is replaced and the statement tried once more.
  std::unique_ptr<TResultTable> Select(TMyDB& db, const std::string& sql, const std::vector<TDbValue>& params);
  // The type of the visible order code's column, read once per attachment; none when it cannot be read.
  std::optional<lis::CodeColumn> CodeColumn(TMyDB& db);

  std::function<TMyDB*()> db_;
  std::function<bool()> debug_;
  TLogSink* log_;
  bool keepConnected_;
  std::chrono::steady_clock::time_point lastUse_{};
  uint64_t codeColumnAttach_ = 0;  // the attachment codeColumn_ was read on (0: none)
  lis::CodeColumn codeColumn_ = lis::CodeColumn::Number;
};
