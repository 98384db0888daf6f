#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/TAnalisador.hpp"
#include "db/TResultTable.hpp"

// The LIS look-up statements and how values are bound into them. The texts
// are kept as the LIS team wrote them; every value place ('%s', %s, %d)
// becomes a "?" marker with the value bound as a parameter.
namespace lis {

// Device with its exams (the analyzer has no configured exams).
inline const std::string D1 =
    " with aparelho as (   select     apa.apa_cod   from     apa_aparelhos apa   where     lower(apa.apa_dsc) = "
    "lower('%s') )  select distinct   apa.apa_cod,   mla.exa_cod from   mla_modelolaudo mla   join aparelho apa on "
    "apa.apa_cod = mla.apa_cod order by   1";
// Device only (the analyzer has configured exams).
inline const std::string D2 =
    " select   apa.apa_cod from   apa_aparelhos apa where   lower(apa.apa_dsc) = lower('%s')";
// The device's exam list, in front of the order statement when there are no configured exams.
inline const std::string O1 =
    " with   aparelho as (     select       apa.apa_cod     from       apa_aparelhos apa     where       "
    "apa.apa_dsc = '%s'   ),   exames as (     select distinct       mla.exa_cod     from       mla_modelolaudo "
    "mla       join aparelho apa on apa.apa_cod = mla.apa_cod     order by       1   ) ";
// The order of a visible order code.
inline const std::string O2 =
    " select distinct   ped.ped_cod,   ped.ped_dat,   ped.ped_urg,   cli.cli_cod,   cli.cli_nom,   "
    "cpf.cpf_dta_nas,   cpf.cpf_sex,   mat.mat_cod,   mat.mat_dsc,   med.med_nom,   grp.grp_dsc from   "
    "ped_pedidos ped   join cli_clientes cli on cli.cli_cod = ped.cli_cod   join cpf_clientepessoafisica cpf on "
    "cpf.cli_cod = cli.cli_cod   join exp_examespedidos exp on exp.ped_cod = ped.ped_cod   join mat_material mat "
    "on mat.mat_cod = exp.mat_cod   left join med_medicos med on med.med_cod = ped.med_cod   join grp_grupos grp "
    "on grp.grp_cod = ped.grp_cod where   ped.ped_cod_vis = %s";
// Exam filter through the device's exam list (O1).
inline const std::string O3 = " and exp.exa_cod in (select exa_cod from exames)";
// Exam filter through the configured exams.
inline const std::string O4 = " and exp.exa_cod in (%s)";
// The analyzer's names of the tests of an order.
inline const std::string E1 =
    " select distinct   are.are_nom_apa from   exp_examespedidos exp   join exa_exames exa on exa.exa_cod = "
    "exp.exa_cod   join mla_modelolaudo mla on mla.exa_cod = exp.exa_cod   join are_atributosresultado are on     "
    "are.exa_cod = mla.exa_cod and     are.mla_cod = mla.mla_cod where   exp.ped_cod = %d and   exp.exa_cod in "
    "(%s) and   exp.exp_sta = 2 and   are.are_nom_apa <> ''";

// A statement text with its parameter values in marker order.
struct Statement {
  std::string sql;
  std::vector<TDbValue> params;
};

// Replaces the value places of `text` ('%s', %s, %d) in order with `fills`.
std::string FillPlaces(const std::string& text, const std::vector<std::string>& fills);

// "?, ?, ?" (with `separator` between markers) for n values.
std::string Markers(size_t n, const std::string& separator);

// The device name: nomeTevarin, or modelo when that is empty.
std::string DeviceName(const TAnalisador& a);

// D1 (buscarExames) or D2 with the device name bound.
Statement DeviceStatement(const std::string& deviceName, bool buscarExames);

// How the LIS stores the visible order code (ped_pedidos.ped_cod_vis).
enum class CodeColumn { Number, Text };

// O1 + O2 + O3 without configured exams, O2 + O4 with them. Nothing when the
// order code is not a whole number: such a code cannot name an order. The
// code keeps its numeric meaning (19 finds 0019) whatever the column's type.
std::optional<Statement> OrderStatement(const std::string& deviceName, const std::vector<int32_t>& configuredExams,
                                        const std::string& orderCode, CodeColumn column = CodeColumn::Number);

// The statement that reads the type of the visible order code's column, and
// what a type code it answers means.
extern const std::string CODE_COLUMN_TYPE;
CodeColumn CodeColumnOf(int64_t fieldType);

// The report models of the analyzer's own device: an exam that several
// devices perform has a model, and names, for each of them, and an analyzer
// must be sent the names it knows, not another analyzer's.
inline const std::string E1_DEVICE = " and mla.apa_cod = ?";

// E1 (with E1_DEVICE) for an order, the device's key and its exam codes; nothing for an empty list.
std::optional<Statement> ExamNamesStatement(int32_t pedCod, int32_t deviceCode,
                                            const std::vector<std::string>& deviceExams);

// "Parâmetros: 'XN-550', 1001" for log lines (Windows-1252).
std::string DescribeParams(const std::vector<TDbValue>& params);

}  // namespace lis
