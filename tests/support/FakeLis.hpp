#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lis/TLisLookups.hpp"

namespace kvtest {

// One row of the order lookup (one per material of the order's exams).
struct FakeOrderRow {
  int64_t ped_cod = 0;
  TDateTime ped_dat;
  std::string ped_urg = "N";
  int64_t cli_cod = 0;
  std::string cli_nom;
  std::optional<TDateTime> cpf_dta_nas;  // absent: null
  std::optional<std::string> cpf_sex;
  int64_t mat_cod = 0;
  std::string mat_dsc;
  std::optional<std::string> med_nom;  // absent: no physician
  std::string grp_dsc;
};

// The LIS lookups answered from content a test sets in code. It answers what
// it holds and nothing more (which exams, statuses or joins led to it is the
// database lookups' concern, tested in tests/db), and records every call.
class FakeLis : public TLisLookups {
 public:
  struct Call {
    std::string lookup;    // "GetAparelhoTevarin", "GetDadosProtocolo" or "GetExamesProtocolo"
    std::string device;    // the analyzer's device name (nomeTevarin, else modelo)
    std::string argument;  // the order code, the order key; empty for the device
  };

  // A device, found by the analyzer's device name with letter case ignored.
  // An analyzer with configured exams gets those instead of the device's.
  void AddDevice(const std::string& name, int32_t codigo, const std::vector<std::string>& exames);
  // The rows the order lookup gives for a visible order code; codes are
  // compared as whole numbers ("0019" finds 19, text finds nothing).
  void AddOrder(int64_t codigoVisivel, const std::vector<FakeOrderRow>& rows);
  // The rows of an order added before, to adjust them.
  std::vector<FakeOrderRow>& Order(int64_t codigoVisivel);
  // The analyzer's test names of an order (by its key), in the order given,
  // as the report models of one device (its key; 0: any device) name them.
  void SetTestNames(int32_t pedCod, const std::vector<std::string>& names, int32_t deviceCode = 0);

  std::unique_ptr<TAparelhoTevarin> GetAparelhoTevarin(const TAnalisador& pAnalisador) override;
  std::unique_ptr<TResultTable> GetDadosProtocolo(const TAnalisador& pAnalisador,
                                                  const std::string& pProtocolo) override;
  std::unique_ptr<TResultTable> GetExamesProtocolo(const TAnalisador& pAnalisador, int32_t pPED_COD) override;

  std::vector<Call> calls;
  // The calls of one lookup, in order.
  std::vector<Call> CallsOf(const std::string& lookup) const;

 private:
  struct Device {
    std::string name;
    int32_t codigo;
    std::vector<std::string> exames;
  };
  std::vector<Device> devices_;
  std::map<int64_t, std::vector<FakeOrderRow>> orders_;
  std::map<std::pair<int32_t, int32_t>, std::vector<std::string>> names_;  // by device key, order key
};

}  // namespace kvtest
