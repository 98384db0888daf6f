#include "support/DemoLis.hpp"

#include <stdexcept>

namespace kvtest::demo {

namespace {

TDateTime At(int y, int m, int d, int h = 0, int n = 0, int s = 0) { return TDateTime{y, m, d, h, n, s, 0}; }

const std::string EDTA = "Sangue total EDTA";
const std::string SORO = "Soro";
const std::string MARCIA = "Dra. M\xe1rcia Lopes";
const std::string ANTONIO = "Dr. Ant\xf4nio Prado";
const std::string AMBULATORIO = "Ambulat\xf3rio";
const std::string INTERNACAO = "Interna\xe7\xe3o";
const std::string CONVENIO = "Conv\xeanio Sa\xfa" "de+";
// Exam 101 as each hematology device's own report model names it.
const std::vector<std::string> HEMOGRAMA = {"HCT", "HGB", "MCH", "MCHC", "MCV", "PLT", "RBC", "WBC"};  // XN-550
const std::vector<std::string> HEMOGRAMA_BC5380 = {"HCT", "HGB", "PLT", "RBC", "WBC"};

int32_t DeviceCode(const std::string& device) {
  return device == "XN-550" ? 1 : device == "Indiko" ? 2 : device == "BC-5380" ? 3 : 0;
}

}  // namespace

void AddDevice(FakeLis& lis, const std::string& name) {
  if (name == "XN-550")
    lis.AddDevice("XN-550", 1, {"101", "103"});
  else if (name == "Indiko")
    lis.AddDevice("Indiko", 2, {"201", "202", "203", "204", "205", "206", "207", "208"});
  else if (name == "BC-5380")
    lis.AddDevice("BC-5380", 3, {"101"});
  else
    throw std::invalid_argument("no demo device " + name);
}

const std::vector<Order>& Orders() {
  static const std::vector<Order> orders = {
      {"XN-550", 1001,
       {{1, At(2024, 8, 4, 7, 12), "N", 1, "Jo\xe3o da Silva", At(1980, 5, 14), "M", 1, EDTA, MARCIA, AMBULATORIO}},
       HEMOGRAMA},
      {"Indiko", 2240801237,
       {{3, At(2024, 8, 4, 23, 5), "S", 3, "Ant\xf4nio Carlos de Albuquerque Magalh\xe3" "es J\xfanior",
         At(1948, 2, 29), "M", 2, SORO, ANTONIO, INTERNACAO}},
       {"CREA", "GLU", "UREA"}},
      {"XN-550", 1005,
       {{5, At(2024, 8, 5, 8, 15), "N", 5, "Pedro Henrique Gon\xe7" "alves", At(2015, 3, 9), "M", 1, EDTA,
         std::nullopt, AMBULATORIO}},
       HEMOGRAMA},
      // Exam 101 released (status 3), 103 awaiting collection: found, but no test names.
      {"XN-550", 1006,
       {{6, At(2024, 8, 5, 9, 40), "N", 6, "Lu\xed" "za Fernandes", At(1988, 12, 31), "F", 1, EDTA, ANTONIO,
         CONVENIO}},
       {}},
      {"BC-5380", 19,
       {{7, At(2024, 8, 5, 10), "N", 7, "Francisca Ara\xfajo", At(1960, 1, 15), "F", 1, EDTA, MARCIA, AMBULATORIO}},
       HEMOGRAMA_BC5380},
      {"Indiko", 1068687,
       {{8, At(2024, 8, 5, 10, 30), "N", 8, "Jos\xe9 Lu\xeds Pe\xe7" "anha", At(1971, 9, 30), "M", 2, SORO, ANTONIO,
         INTERNACAO}},
       {"AST", "CREA"}},
      // Exam 208 has only an attribute without an analyzer name.
      {"Indiko", 1009,
       {{9, At(2024, 8, 5, 11), "N", 9, "Irene M\xfcller", At(1955, 4, 18), "F", 2, SORO, MARCIA, AMBULATORIO}},
       {}},
      {"XN-550", 1011,
       {{11, At(2024, 8, 5, 13, 45, 10), "S", 11, "Cl\xe1udia Regina Sch\xfcnemann Ferreira de Vasconcelos",
         At(1983, 6, 5), "F", 1, EDTA, ANTONIO, INTERNACAO}},
       {"HCT", "HGB", "MCH", "MCHC", "MCV", "PLT", "RBC", "RET#", "RET%", "WBC"}},
      // Glucose (plasma) collected, cholesterol (serum) not yet: two materials, one name.
      {"Indiko", 1012,
       {{12, At(2024, 8, 5, 14), "N", 12, "S\xe9rgio \xc2ngelo Brand\xe3o", At(1969, 10, 10), "M", 2, SORO, MARCIA,
         AMBULATORIO},
        {12, At(2024, 8, 5, 14), "N", 12, "S\xe9rgio \xc2ngelo Brand\xe3o", At(1969, 10, 10), "M", 3,
         "Plasma fluoretado", MARCIA, AMBULATORIO}},
       {"GLU"}},
      // The extra orders of the ASTM tests: a name of blanks only; delimiters
      // and a CR in the names, no birth date, no sex.
      {"Indiko", 7001,
       {{101, At(2024, 8, 6, 6, 7, 8), "N", 101, "   ", At(1970, 1, 2), "F", 2, SORO, std::nullopt, AMBULATORIO}},
       {"GLU"}},
      {"Indiko", 7002,
       {{102, At(2024, 8, 6, 16, 17, 18), "N", 102, "Ana|Maria Souza^Lima", std::nullopt, std::nullopt, 2, SORO,
         "Dr. A&B\rC", INTERNACAO}},
       {"GLU"}},
  };
  return orders;
}

const std::string& ExtraOrdersSql() {
  static const std::string sql = R"SQL(
insert into cli_clientes (cli_cod, cli_nom) values (101, '   ');
insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (101, '1970-01-02', 'F');
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (101, 7001, '2024-08-06 06:07:08', 'N', 101, null, 1);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (101, 201, 2, 2);
insert into cli_clientes (cli_cod, cli_nom) values (102, 'Ana|Maria Souza^Lima');
insert into cpf_clientepessoafisica (cli_cod, cpf_dta_nas, cpf_sex) values (102, null, null);
insert into med_medicos (med_cod, med_nom, med_crm) values (102, 'Dr. A&B' || ascii_char(13) || 'C', null);
insert into ped_pedidos (ped_cod, ped_cod_vis, ped_dat, ped_urg, cli_cod, med_cod, grp_cod) values (102, 7002, '2024-08-06 16:17:18', 'N', 102, 102, 2);
insert into exp_examespedidos (ped_cod, exa_cod, mat_cod, exp_sta) values (102, 201, 2, 2);
)SQL";
  return sql;
}

void AddOrder(FakeLis& lis, int64_t code) {
  for (const Order& o : Orders()) {
    if (o.code != code) continue;
    lis.AddOrder(code, o.rows);
    const auto pedCod = static_cast<int32_t>(o.rows.front().ped_cod);
    lis.SetTestNames(pedCod, o.names, DeviceCode(o.device));
    // The other hematology device sees the order's exam 101 through its own model.
    if (o.device == "XN-550" && !o.names.empty()) lis.SetTestNames(pedCod, HEMOGRAMA_BC5380, 3);
    if (o.device == "BC-5380" && !o.names.empty()) lis.SetTestNames(pedCod, HEMOGRAMA, 1);
    return;
  }
  throw std::invalid_argument("no demo order " + std::to_string(code));
}

}  // namespace kvtest::demo
