// HL7 query and order replies: the values a query carries and the QCK^Q02,
// DSR^Q03 and ORR^O02 texts.
#include <stdexcept>

#include "protocol/Hl7.hpp"
#include "util/TString.hpp"

namespace hl7 {

namespace {

const std::string& Linha(const TLines& msg, size_t numero) {
  if (numero > msg.size())
    throw std::out_of_range("a mensagem tem " + std::to_string(msg.size()) + " linha(s); falta a linha " +
                            std::to_string(numero));
  return msg[numero - 1];
}

int DigitoHex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a 64-bit signed whole number the way the platform's string-to-integer
// conversion does: leading blanks, a sign, decimal digits or hexadecimal ones
// after "$", "x" or "0x", and nothing after the digits.
bool LerInt64(const std::string& s, int64_t& valor) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negativo = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negativo = s[i++] == '-';
  bool hex = false;
  if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= s.size()) return false;
  uint64_t v = 0;
  for (; i < s.size(); ++i) {
    if (hex) {
      const int d = DigitoHex(s[i]);
      if (d < 0 || v > (UINT64_MAX >> 4)) return false;
      v = (v << 4) | static_cast<uint64_t>(d);
    } else {
      if (s[i] < '0' || s[i] > '9') return false;
      const uint64_t d = static_cast<uint64_t>(s[i] - '0');
      if (v > (UINT64_MAX - d) / 10) return false;
      v = v * 10 + d;
    }
  }
  // Hexadecimal texts cover the whole 64-bit pattern; decimal ones the signed range.
  const uint64_t limite = uint64_t{1} << 63;
  if (!hex && (negativo ? v > limite : v >= limite)) return false;
  valor = static_cast<int64_t>(negativo ? (~v + 1) : v);
  return true;
}

std::string Dsp(int numero, const std::string& valor) {
  std::string linha = "DSP|";
  linha += std::to_string(numero);
  linha += "||";
  linha += valor;
  linha += "|||\r";
  return linha;
}

std::string MshResposta(const Remetente& r, const QueryValues& v, const std::string& tipo,
                        const TDateTime& now) {
  return "MSH|^~\\&|||" + r.aplicacao + "|" + r.modelo + "|" + FormatTimestamp(now) + "||" + tipo + "|" +
         v.message_id + "|P|" + v.versao_protocolo + "||||||" + v.encoding + "|||\r";
}

std::string MshOrr(const QueryValues& v, const TDateTime& now) {
  return "MSH|^~\\&|LIS||||" + FormatTimestamp(now) + "||ORR^O02|" + v.message_id + "|P|" + v.versao_protocolo +
         "||||||" + v.encoding + "|||\r";
}

}  // namespace

QueryValues ReadQueryValues(const TLines& msg, int32_t tipo) {
  QueryValues v;
  const std::string& msh = Linha(msg, 1);
  // An order message is read two pieces further right unless its MSH says otherwise.
  const int desvio = tipo == QUERY_ORM ? 2 : 0;
  v.message_id = TString::GetFieldFromSplit(msh, '|', MshPiece(msh, 10, 10 + desvio));
  v.versao_protocolo = TString::GetFieldFromSplit(msh, '|', MshPiece(msh, 12, 12 + desvio));
  v.encoding = TString::GetFieldFromSplit(msh, '|', MshPiece(msh, 18, 18 + desvio));
  if (tipo == QUERY_ORM) {
    v.id_amostra = TString::GetFieldFromSplit(Linha(msg, 2), '|', 4);
  } else {
    v.id_amostra = TString::GetFieldFromSplit(Linha(msg, 2), '|', 9);
    v.id_query = TString::GetFieldFromSplit(Linha(msg, 2), '|', 5);
    v.qrf = Linha(msg, 3);
  }
  return v;
}

bool CodigoPesquisavel(const std::string& codigo) {
  if (codigo.empty() || codigo.size() > 18) return false;
  for (char c : codigo)
    if (c < '0' || c > '9') return false;
  return true;
}

bool IncMessageID(std::string& pMessage_id) {
  int64_t valor = 0;
  if (!LerInt64(pMessage_id, valor)) return false;
  pMessage_id = std::to_string(static_cast<int64_t>(static_cast<uint64_t>(valor) + 1));
  return true;
}

std::string BuildQckQ02Found(const Remetente& r, const QueryValues& v, const TDateTime& now) {
  return MshResposta(r, v, "QCK^Q02", now) + "MSA|AA|" + v.message_id + "|Message accepted|||0|\r" +
         "ERR|0|\r" + "QAK|SR|OK|\r";
}

std::string BuildDsrQ03(const Remetente& r, const QueryValues& v, const OrderData& pedido,
                        const std::vector<std::string>& exames, const TDateTime& now) {
  const std::string agora = FormatTimestamp(now);
  std::string s = MshResposta(r, v, "DSR^Q03", now);
  s += "MSA|AA|" + v.message_id + "|Message accepted|||0|\r";
  s += "ERR|0|\r";
  s += "QAK|SR|OK|\r";
  s += "QRD|" + agora + "|R|D|" + v.id_query + "|||RD|" + v.id_amostra + "|OTH|||T|\r";
  s += v.qrf + "\r";
  for (int n = 1; n <= 28; ++n) {
    std::string valor;
    switch (n) {
      case 3: valor = pedido.cli_nom; break;
      case 4: valor = FormatTimestamp(pedido.cpf_dta_nas); break;
      case 5: valor = pedido.cpf_sex; break;
      case 21: valor = v.id_amostra; break;
      case 22: valor = pedido.mat_cod; break;
      case 23: valor = agora; break;
      case 24: valor.assign(1, pedido.ped_urg == "S" ? 'Y' : 'N'); break;
      case 26: valor = pedido.mat_dsc; break;
      case 27: valor = pedido.med_nom; break;
      case 28: valor = pedido.grp_dsc; break;
      default: break;
    }
    s += Dsp(n, valor);
  }
  for (size_t i = 0; i < exames.size(); ++i) s += Dsp(28 + static_cast<int>(i) + 1, exames[i]);
  s += "DSC||\r";
  return s;
}

std::string BuildQckQ02NotFound(const Remetente& r, const QueryValues& v, const TDateTime& now) {
  return "MSH|^~\\&|" + r.aplicacao + "|" + r.modelo + "|||" + FormatTimestamp(now) + "||QCK^Q02|" +
         v.message_id + "|P|2.3.1||||||UNICODE|||\r" + "MSA|AA|" + v.message_id + "|Message accepted|||0\r" +
         "ERR|0\r" + "QAK|SR|NF\r";
}

std::string BuildOrrO02(const QueryValues& v, const OrderData* pedido, const TDateTime& now) {
  std::string s = MshOrr(v, now);
  if (!pedido) return s + "MSA|AR|" + v.message_id + "|||||\r";
  s += "MSA|AA|" + v.message_id + "|||||\r";
  s += "PID|1|" + v.id_amostra + "|||" + pedido->cli_nom + "||" + FormatDate(pedido->cpf_dta_nas) + "|" +
       pedido->cpf_sex + "|||||||" + "" + "||||||||||||||||\r";
  s += "OBR|1||||||||||||||||||||||O|Ex|U|U|U||7|10||||||||||||||||||\r";
  return s;
}

}  // namespace hl7
