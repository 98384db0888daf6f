#include "support/FakeLis.hpp"

#include <stdexcept>

#include "util/TString.hpp"
#include "lis/LisStatements.hpp"

namespace kvtest {

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

template <class T>
TDbValue OrNull(const std::optional<T>& v) {
  return v ? TDbValue(*v) : TDbValue();
}

}  // namespace

void FakeLis::AddDevice(const std::string& name, int32_t codigo, const std::vector<std::string>& exames) {
  devices_.push_back({name, codigo, exames});
}

void FakeLis::AddOrder(int64_t codigoVisivel, const std::vector<FakeOrderRow>& rows) {
  orders_[codigoVisivel] = rows;
}

std::vector<FakeOrderRow>& FakeLis::Order(int64_t codigoVisivel) {
  const auto it = orders_.find(codigoVisivel);
  if (it == orders_.end()) throw std::out_of_range("no order " + std::to_string(codigoVisivel) + " in the fake LIS");
  return it->second;
}

void FakeLis::SetTestNames(int32_t pedCod, const std::vector<std::string>& names, int32_t deviceCode) {
  names_[{deviceCode, pedCod}] = names;
}

std::unique_ptr<TAparelhoTevarin> FakeLis::GetAparelhoTevarin(const TAnalisador& a) {
  const std::string name = lis::DeviceName(a);
  calls.push_back({"GetAparelhoTevarin", name, ""});
  for (const Device& d : devices_) {
    if (Lower(d.name) != Lower(name)) continue;
    auto aparelho = std::make_unique<TAparelhoTevarin>();
    aparelho->codigo = d.codigo;
    if (a.exames.empty()) {
      aparelho->exames = d.exames;
    } else {
      for (const TExame* e : a.exames) aparelho->exames.push_back(std::to_string(e->codigo));
    }
    return aparelho;
  }
  return nullptr;
}

std::unique_ptr<TResultTable> FakeLis::GetDadosProtocolo(const TAnalisador& a, const std::string& pProtocolo) {
  calls.push_back({"GetDadosProtocolo", lis::DeviceName(a), pProtocolo});
  if (pProtocolo.empty()) return nullptr;
  const auto code = TString::ToInt64(pProtocolo);
  if (!code) return nullptr;
  auto t = std::make_unique<TResultTable>();
  for (const char* c : {"PED_COD", "PED_DAT", "PED_URG", "CLI_COD", "CLI_NOM", "CPF_DTA_NAS", "CPF_SEX", "MAT_COD",
                        "MAT_DSC", "MED_NOM", "GRP_DSC"})
    t->columns.push_back({c, 0});
  const auto it = orders_.find(*code);
  if (it != orders_.end()) {
    for (const FakeOrderRow& r : it->second) {
      t->rows.push_back({r.ped_cod, r.ped_dat, r.ped_urg, r.cli_cod, r.cli_nom, OrNull(r.cpf_dta_nas),
                         OrNull(r.cpf_sex), r.mat_cod, r.mat_dsc, OrNull(r.med_nom), r.grp_dsc});
    }
  }
  return t;
}

std::unique_ptr<TResultTable> FakeLis::GetExamesProtocolo(const TAnalisador& a, int32_t pPED_COD) {
  calls.push_back({"GetExamesProtocolo", lis::DeviceName(a), std::to_string(pPED_COD)});
  // No device, or a device without exams: no lookup at all.
  if (!a.aparelhoTevarin || a.aparelhoTevarin->exames.empty()) return nullptr;
  auto t = std::make_unique<TResultTable>();
  t->columns.push_back({"ARE_NOM_APA", 0});
  auto it = names_.find({a.aparelhoTevarin->codigo, pPED_COD});
  if (it == names_.end()) it = names_.find({0, pPED_COD});
  if (it != names_.end())
    for (const auto& n : it->second) t->rows.push_back({n});
  return t;
}

std::vector<FakeLis::Call> FakeLis::CallsOf(const std::string& lookup) const {
  std::vector<Call> out;
  for (const auto& c : calls)
    if (c.lookup == lookup) out.push_back(c);
  return out;
}

}  // namespace kvtest
