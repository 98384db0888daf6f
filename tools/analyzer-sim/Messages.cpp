#include "Messages.hpp"

#include <cstdlib>
#include <initializer_list>
#include <utility>

#include "AstmFrames.hpp"
#include "Mllp.hpp"

namespace sim {

namespace {
std::string Join(const std::vector<std::string>& fields, char sep) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out += sep;
    out += fields[i];
  }
  return out;
}

// Fields numbered from 1 (the record or segment name); unset ones stay empty.
std::string Record(std::initializer_list<std::pair<int, std::string>> fields, int count) {
  std::vector<std::string> v(static_cast<size_t>(count));
  for (const auto& [n, value] : fields) v[static_cast<size_t>(n - 1)] = value;
  return Join(v, '|');
}

std::string Or(const std::string& a, const std::string& b) { return a.empty() ? b : a; }
std::string OrNone(const std::string& a) { return Or(a, "(none)"); }

// The MSH segment of every message the simulator builds; only the type, control id,
// character set (MSH-18) and field count differ.
std::string Hl7Header(const Identity& id, const std::string& timestamp, const std::string& type,
                      const std::string& controlId, const std::string& charset, int count) {
  return Record({{1, "MSH"}, {2, "^~\\&"}, {3, id.application}, {4, id.model}, {7, timestamp},
                 {9, type}, {10, controlId}, {11, "P"}, {12, Or(id.version, "2.3.1")}, {18, charset}},
                count);
}

// "^^^^WBC\^^^^RBC" -> "WBC, RBC"
std::string TestNames(const std::string& field) {
  std::string out;
  size_t start = 0;
  while (start <= field.size()) {
    size_t end = field.find('\\', start);
    if (end == std::string::npos) end = field.size();
    const std::string item = field.substr(start, end - start);
    const size_t caret = item.find_last_of('^');
    const std::string name = caret == std::string::npos ? item : item.substr(caret + 1);
    if (!name.empty()) out += (out.empty() ? "" : ", ") + name;
    start = end + 1;
  }
  return out;
}

std::string Caret(const std::string& s) {
  std::string out;
  for (const char c : s) out += c == '^' ? ' ' : c;
  while (!out.empty() && out.front() == ' ') out.erase(0, 1);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}
}  // namespace

std::vector<std::string> BuildAstmQuery(const Identity& id, const std::string& sample,
                                        const std::string& timestamp) {
  return {Record({{1, "H"}, {2, "\\^&"}, {5, id.model}, {12, "P"},
                  {13, Or(id.version, "LIS2-A2")}, {14, timestamp}},
                 14),
          "Q|1|^" + sample + "||ALL||||||||O", "L|1|N"};
}

std::string BuildHl7Query(const Identity& id, const std::string& sample,
                          const std::string& timestamp, const std::string& controlId) {
  const std::string msh = Hl7Header(id, timestamp, "QRY^Q02", controlId, "ASCII", 21);
  return msh + CR + "QRD|" + timestamp + "|R|D|1|||RD|" + sample + "|OTH|||T|" + CR +
         "QRF||||||RCT|COR|ALL||" + CR;
}

std::string BuildHl7Order(const Identity& id, const std::string& sample,
                          const std::string& timestamp, const std::string& controlId) {
  const std::string msh = Hl7Header(id, timestamp, "ORM^O01", controlId, "UNICODE", 18);
  return msh + CR + "ORC|RF||" + sample + "||IP" + CR;
}

std::string BuildHl7QueryConfirmation(const Identity& id, const std::string& timestamp,
                                      const std::string& controlId, const std::string& ackedId) {
  const std::string msh = Hl7Header(id, timestamp, "ACK^Q03", controlId, "ASCII", 21);
  return msh + CR + "MSA|AA|" + ackedId + "|Message accepted|||0|" + CR;
}

bool IsAstmQuery(const std::vector<std::string>& records) {
  for (const std::string& r : records)
    if (RecordType(r) == 'Q') return true;
  return false;
}

OrderSummary DescribeAstmReply(const std::vector<std::string>& records) {
  OrderSummary s;
  std::string p, o;
  bool h = false, l = false;
  for (const std::string& r : records) {
    switch (RecordType(r)) {
      case 'H': h = true; break;
      case 'P': if (p.empty()) p = r; break;
      case 'O': if (o.empty()) o = r; break;
      case 'L': l = true; break;
      default: break;
    }
  }
  s.recognised = h && !o.empty() && l;
  if (!s.recognised) return s;
  const std::string range = Piece(o, '|', 3);
  if (Piece(o, '|', 26) == "Y") {
    s.lines.push_back("no order for " + range + " (the host answered \"no information\")");
    return s;
  }
  s.found = true;
  s.lines.push_back("order for " + range + ", ordered " + Piece(o, '|', 7));
  s.lines.push_back("  patient " + Piece(p, '|', 5) + ": " + Caret(Piece(p, '|', 6)) + ", born " +
                    Piece(p, '|', 8) + ", sex " + Piece(p, '|', 9));
  s.lines.push_back("  physician " + OrNone(Caret(Piece(p, '|', 14))) + ", group " + OrNone(Piece(p, '|', 26)));
  s.lines.push_back("  tests: " + TestNames(Piece(o, '|', 5)));
  return s;
}

OrderSummary DescribeHl7Order(const std::string& message) {
  OrderSummary s;
  const std::string type = Field(FindSegment(message, "MSH"), 9);
  if (type.rfind("DSR", 0) == 0) {
    std::vector<std::string> dsp(29);
    std::string tests;
    for (const std::string& seg : Segments(message)) {
      if (seg.rfind("DSP|", 0) != 0) continue;
      const int n = std::atoi(Field(seg, 1).c_str());
      const std::string value = Field(seg, 3);
      if (n >= 1 && n <= 28) dsp[static_cast<size_t>(n)] = value;
      if (n > 28 && !value.empty()) tests += (tests.empty() ? "" : ", ") + value;
    }
    s.recognised = s.found = true;
    s.lines.push_back("order for sample " + dsp[21] + " (material " + dsp[22] + " " + dsp[26] +
                      ", urgent " + dsp[24] + ")");
    s.lines.push_back("  patient " + dsp[3] + ", born " + dsp[4] + ", sex " + dsp[5]);
    s.lines.push_back("  physician " + OrNone(dsp[27]) + ", group " + OrNone(dsp[28]));
    s.lines.push_back("  tests: " + (tests.empty() ? std::string("(none listed)") : tests));
  } else if (type.rfind("ORR", 0) == 0) {
    s.recognised = true;
    const std::string msa = FindSegment(message, "MSA");
    const std::string pid = FindSegment(message, "PID");
    if (Field(msa, 1) == "AA" && !pid.empty()) {
      s.found = true;
      s.lines.push_back("order for sample " + Field(pid, 2));
      s.lines.push_back("  patient " + Caret(Field(pid, 5)) + ", born " + Field(pid, 7) + ", sex " +
                        Field(pid, 8));
    } else {
      s.lines.push_back("no order (ORR^O02 with MSA-1 " + Field(msa, 1) + ")");
    }
  }
  return s;
}

}  // namespace sim
