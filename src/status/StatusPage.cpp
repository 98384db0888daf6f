// The status page: one self-contained HTML document (inline CSS, no scripts),
// refreshed by the browser every 5 seconds. Built in Windows-1252 like every
// other text of the service and sent as UTF-8; every value is escaped.
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "status/StatusRender.hpp"
#include "util/Encoding.hpp"

namespace {

std::string Escape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string When(std::time_t t) {
  if (t == 0) return "nunca";
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%d/%m/%Y %H:%M:%S", &tm);
  return buf;
}

std::string WhenAgo(std::time_t t, std::time_t now) {
  if (t == 0) return "nunca";
  return When(t) + " (h\xE1 " + AgeText(now - t) + ")";
}

std::string Bytes(uint64_t n) {
  char buf[32];
  if (n >= (1ull << 30))
    std::snprintf(buf, sizeof buf, "%.1f GB", static_cast<double>(n) / (1ull << 30));
  else
    std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(n) / (1ull << 20));
  return buf;
}

std::string Ms(double seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f ms", seconds * 1000.0);
  return buf;
}

// A labelled value; `value` is Windows-1252 text, escaped here.
std::string Item(const std::string& label, const std::string& value, const std::string& cls = {}) {
  return "<div class=\"it\"><span class=\"k\">" + label + "</span><span class=\"v" + (cls.empty() ? "" : " " + cls) +
         "\">" + Escape(value) + "</span></div>\n";
}

const char* const STYLE =
    "body{font-family:system-ui,sans-serif;margin:0;padding:12px;background:#f4f5f7;color:#222}"
    "h1{font-size:1.3em;margin:0 0 8px}h2{font-size:1.05em;margin:0 0 6px}"
    ".grid{display:grid;grid-template-columns:repeat(auto-fit,minmax(280px,1fr));gap:10px}"
    ".card{background:#fff;border-radius:8px;padding:10px 12px;box-shadow:0 1px 3px #0002}"
    ".it{display:flex;justify-content:space-between;gap:8px;border-bottom:1px solid #eee;padding:2px 0}"
    ".k{color:#555}.v{text-align:right;overflow-wrap:anywhere}.ok{color:#137a2a;font-weight:600}"
    ".bad{color:#b3261e;font-weight:600}.warn{color:#a05a00;font-weight:600}"
    ".status{display:inline-block;padding:2px 10px;border-radius:12px;color:#fff;font-weight:600}"
    ".s-ok{background:#137a2a}.s-degraded{background:#a05a00}.s-down{background:#b3261e}"
    "ol{padding-left:18px;margin:0}li{font-family:monospace;font-size:.85em;word-break:break-all;margin:2px 0}"
    "section{margin-top:10px}"
    ".chart{margin-top:6px}.chart svg{display:block;width:100%;height:auto;max-height:140px}"
    ".bar{fill:#3b6fd4}.axis{stroke:#bbb;stroke-width:1}.lbl{font-size:8px;fill:#555}";

// The local hour of t, as "14h".
std::string HourLabel(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02dh", tm.tm_hour);
  return buf;
}

// Results per hour over the last 24 hours: an inline SVG bar chart, one bar
// per hour (the hour under way on the right), scaled to the busiest hour,
// and each bar's hour and count in its title and data attributes.
std::string ResultsChart(const TAnalyzerStatus& a, std::time_t hourNow) {
  constexpr int SLOT = 10, BAR = 8, TOP = 4, BASE = 50;
  const std::vector<uint32_t>& series = a.resultsPerHour;
  if (series.empty()) return "";
  uint64_t total = 0;
  uint32_t most = 0;
  for (uint32_t n : series) {
    total += n;
    most = std::max(most, n);
  }
  const int bars = static_cast<int>(series.size());
  const std::string width = std::to_string(bars * SLOT), base = std::to_string(BASE);
  std::string h = "<div class=\"chart\">" +
                  Item("Resultados por hora (24 h)", std::to_string(total) + " no total, m\xE1ximo " +
                                                        std::to_string(most) + " por hora");
  h += "<svg viewBox=\"0 0 " + width + " 62\" role=\"img\" aria-label=\"" +
       Escape("Resultados por hora de " + a.model + " nas \xFAltimas 24 horas") + "\">";
  h += "<line class=\"axis\" x1=\"0\" y1=\"" + base + ".5\" x2=\"" + width + "\" y2=\"" + base + ".5\"/>";
  for (int i = 0; i < bars; ++i) {
    const std::time_t hour = hourNow - static_cast<std::time_t>(bars - 1 - i) * 3600;
    const uint32_t n = series[static_cast<size_t>(i)];
    int height = most == 0 ? 0 : static_cast<int>((static_cast<uint64_t>(n) * (BASE - TOP) + most / 2) / most);
    if (n > 0 && height == 0) height = 1;
    const std::string label = HourLabel(hour), count = std::to_string(n);
    h += "<rect class=\"bar\" x=\"" + std::to_string(i * SLOT + (SLOT - BAR) / 2) + "\" y=\"" +
         std::to_string(BASE - height) + "\" width=\"" + std::to_string(BAR) + "\" height=\"" +
         std::to_string(height) + "\" data-hour=\"" + label + "\" data-count=\"" + count + "\"><title>" + label +
         ": " + count + "</title></rect>";
    if (i % 6 == 0) h += "<text class=\"lbl\" x=\"" + std::to_string(i * SLOT) + "\" y=\"60\">" + label + "</text>";
  }
  // The hour under way, under the last bar.
  h += "<text class=\"lbl\" x=\"" + width + "\" y=\"60\" text-anchor=\"end\">" + HourLabel(hourNow) + "</text>";
  return h + "</svg></div>\n";
}

// The links the service opens itself for this analyzer: open since when, or
// reopening since when, and the last failure.
std::string LinkItems(const std::vector<TStatusLink>& links, const std::string& model) {
  std::string h;
  for (const TStatusLink& l : links) {
    if (l.model != model) continue;
    const TLinkStatus& k = l.link;
    const std::string since = k.since == 0 ? "" : " desde " + When(k.since);
    h += Item("Conex\xE3o " + Escape(k.name), k.open ? "aberta" + since : "fechada, reabrindo" + since,
              k.open ? "ok" : "bad");
    if (!k.lastError.empty())
      h += Item("\xDAltima falha da conex\xE3o", When(k.lastErrorAt) + " " + k.lastError, k.open ? "" : "bad");
  }
  return h;
}

std::string AnalyzerCard(const TAnalyzerStatus& a, const std::vector<TStatusLink>& links, std::time_t now,
                         std::time_t hourNow) {
  std::string h = "<div class=\"card\"><h2>" + Escape(a.model.empty() ? "(n\xE3o identificado)" : a.model) +
                  (a.configured ? "" : " <span class=\"warn\">(sem configura\xE7\xE3o)</span>") + "</h2>\n";
  h += Item("Protocolo", a.protocol.empty() ? "-" : a.protocol);
  std::string conns;
  for (const std::string& c : a.connections) conns += (conns.empty() ? "" : ", ") + c;
  h += Item("Conectado", a.connections.empty() ? "n\xE3o" : "sim, de " + conns, a.connections.empty() ? "" : "ok");
  h += LinkItems(links, a.model);
  h += Item("\xDAltima mensagem recebida", WhenAgo(a.lastReceived, now));
  h += Item("\xDAltimo arquivo gravado", WhenAgo(a.lastArchived, now));
  h += Item("Resultados hoje", std::to_string(a.results));
  h += Item("Consultas hoje", std::to_string(a.queries));
  h += Item("NAKs hoje", std::to_string(a.naks));
  h += Item("Erros de checksum hoje", std::to_string(a.checksumErrors));
  if (a.silenceMinutes > 0)
    h += Item("Alerta de sil\xEAncio", a.silent ? "sem comunica\xE7\xE3o h\xE1 " + std::to_string(a.silenceMinutes) +
                                                      " min ou mais"
                                                : "normal (" + std::to_string(a.silenceMinutes) + " min)",
              a.silent ? "bad" : "");
  h += Item("\xDAltimo erro", a.lastError.empty() ? "-" : When(a.lastErrorAt) + " " + a.lastError,
            a.lastError.empty() ? "" : "bad");
  h += ResultsChart(a, hourNow);
  return h + "</div>\n";
}

}  // namespace

std::string HtmlText(const std::string& cp1252) { return Cp1252ToUtf8(Escape(cp1252)); }

std::string AgeText(long long s) {
  if (s < 0) s = 0;
  if (s < 60) return std::to_string(s) + " s";
  if (s < 3600) return std::to_string(s / 60) + " min";
  char buf[48];
  if (s < 86400)
    std::snprintf(buf, sizeof buf, "%lld h %02lld min", s / 3600, (s % 3600) / 60);
  else
    std::snprintf(buf, sizeof buf, "%lld d %lld h", s / 86400, (s % 86400) / 3600);
  return buf;
}

std::string RenderStatusPage(const TStatusSnapshot& s) {
  const THealth health = EvaluateHealth(s);
  const std::time_t now = s.taken;
  std::string h =
      "<!DOCTYPE html>\n<html lang=\"pt-BR\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<meta http-equiv=\"refresh\" content=\"5\"><title>Tevarin (Redurozozi) - status</title><style>";
  h += STYLE;
  h += "</style></head><body>\n<h1>Tevarin (Redurozozi) <span class=\"status s-" + health.status + "\">" +
       health.status + "</span></h1>\n<div class=\"grid\">\n";

  h += "<div class=\"card\"><h2>Servi\xE7o</h2>\n";
  h += Item("Vers\xE3o", s.version);
  h += Item("Em execu\xE7\xE3o h\xE1", AgeText(now - s.started));
  h += Item("Conex\xF5" "es abertas", std::to_string(s.openConnections));
  h += Item("Atualizado em", When(now));
  h += "</div>\n";

  h += "<div class=\"card\"><h2>LIS (banco de dados)</h2>\n";
  if (!s.lis.checked)
    h += Item("Estado", "ainda n\xE3o verificado");
  else if (s.lis.ok)
    h += Item("Estado", "OK", "ok");
  else
    h += Item("Estado", "ERRO: " + s.lis.error, "bad");
  h += Item("\xDAltima verifica\xE7\xE3o", WhenAgo(s.lis.lastCheck, now));
  h += Item("Consultas", std::to_string(s.lis.found) + " encontradas, " + std::to_string(s.lis.notFound) +
                             " sem resultado, " + std::to_string(s.lis.errors) + " com erro, " +
                             std::to_string(s.lis.timeouts) + " sem resposta");
  if (s.lis.count > 0)
    h += Item("Lat\xEAncia", "m\xE9" "dia " + Ms(s.lis.sumSeconds / static_cast<double>(s.lis.count)) +
                                 ", \xFAltima " + Ms(s.lis.lastSeconds) + ", m\xE1xima " + Ms(s.lis.maxSeconds));
  h += "</div>\n";

  h += "<div class=\"card\"><h2>Pasta de sa\xED" "da e spool</h2>\n";
  h += Item("Pasta", s.outputFolder);
  const bool silent = s.folderSilentSeconds >= s.folderAlarmSeconds;
  h += Item("Responde", silent ? "N\xC3O: n\xE3o responde h\xE1 " + std::to_string(s.folderSilentSeconds) + " s" : "sim",
            silent ? "bad" : "");
  h += Item("Grav\xE1vel", s.outputWritable ? "sim" : "N\xC3O", s.outputWritable ? "ok" : "bad");
  h += Item("Espa\xE7o livre", s.freeKnown ? Bytes(s.freeBytes) : "desconhecido");
  h += Item("Arquivo mais antigo aguardando importa\xE7\xE3o",
            s.oldestWaitingFile == 0 ? "nenhum" : "h\xE1 " + AgeText(now - s.oldestWaitingFile),
            s.importAlarm ? "bad" : "");
  h += Item("Mensagens no spool", std::to_string(s.spoolDepth), s.spoolDepth ? "warn" : "");
  h += Item("Mais antiga no spool", s.spoolOldest == 0 ? "-" : "h\xE1 " + AgeText(now - s.spoolOldest));
  h += Item("Spool grav\xE1vel", s.spoolWritable ? "sim" : "N\xC3O", s.spoolWritable ? "" : "bad");
  h += "</div>\n</div>\n";

  if (!health.reasons.empty()) {
    h += "<section class=\"card\"><h2>Aten\xE7\xE3o</h2><ul>";
    for (const std::string& r : health.reasons) h += "<li>" + Escape(Utf8ToCp1252(r)) + "</li>";
    h += "</ul></section>\n";
  }

  h += "<section><h2>Analisadores</h2><div class=\"grid\">\n";
  for (const TAnalyzerStatus& a : s.analyzers) h += AnalyzerCard(a, s.links, now, s.hourNow);
  if (s.analyzers.empty()) h += "<div class=\"card\">Nenhum analisador configurado.</div>\n";
  h += "</div></section>\n";

  h += "<section class=\"card\"><h2>\xDAltimos erros do log</h2>\n";
  if (s.recentErrors.empty()) {
    h += "<p>Nenhum erro desde o in\xED" "cio.</p>\n";
  } else {
    h += "<ol>\n";
    for (const std::string& e : s.recentErrors) h += "<li>" + Escape(e) + "</li>\n";
    h += "</ol>\n";
  }
  h += "</section>\n</body></html>\n";
  return Cp1252ToUtf8(h);
}
