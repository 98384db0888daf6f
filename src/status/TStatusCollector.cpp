#include "status/TStatusCollector.hpp"

#include <algorithm>

#include "archive/TArchiveEntry.hpp"
#include "clients/TSocketClient.hpp"
#include "log/TLog.hpp"
#include "status/TLisMonitor.hpp"
#include "util/Encoding.hpp"
#include "util/FileSystem.hpp"

namespace {

int LocalDay(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

std::time_t ToTime(const TDateTime& d) {
  std::tm tm{};
  tm.tm_year = d.year - 1900;
  tm.tm_mon = d.month - 1;
  tm.tm_mday = d.day;
  tm.tm_hour = d.hour;
  tm.tm_min = d.minute;
  tm.tm_sec = d.second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// The ring slot of the hour that starts at hourStart.
size_t HourSlot(std::time_t hourStart) {
  const long long hour = static_cast<long long>(hourStart) / 3600;
  return static_cast<size_t>(((hour % static_cast<long long>(RESULT_HOURS)) + RESULT_HOURS) % RESULT_HOURS);
}

}  // namespace

std::time_t HourStart(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  tm.tm_min = 0;
  tm.tm_sec = 0;
  // The hour as it was at t (the fall-back hour of a DST change comes twice).
  return std::mktime(&tm);
}

std::string ProtocolName(int32_t id) {
  switch (id) {
    case PROTOCOLO_ASTM: return "ASTM";
    case PROTOCOLO_HL7: return "HL7";
    case PROTOCOLO_JSON_DIAGNO: return "JSON";
    default: return "";
  }
}

std::string ShortErrorLine(const std::string& text) {
  // Error lines may go on with the message they concern; the page keeps the reason only.
  std::string out;
  int lines = 0;
  size_t from = 0;
  while (from <= text.size() && lines < 2) {
    size_t end = text.find_first_of("\r\n", from);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(from, end - from);
    if (line.find_first_not_of(" \t") != std::string::npos) {
      out += (lines ? " " : "") + line;
      ++lines;
    }
    from = end + 1;
  }
  if (out.size() > 200) out = out.substr(0, 197) + "...";
  return out;
}

TStatusCollector::TStatusCollector(TStatusSetup setup, std::time_t started)
    : setup_(std::move(setup)), started_(started), today_(LocalDay(started)) {}

TStatusCollector::TStatusCollector(TStatusSetup setup)
    : setup_(std::move(setup)), started_(setup_.now()), today_(LocalDay(started_)) {}

TStatusCollector::TModel& TStatusCollector::Model(const std::string& modelo, const std::string& protocolo) {
  TModel& m = models_[modelo];
  m.row.model = modelo;
  if (!protocolo.empty()) m.row.protocol = protocolo;
  return m;
}

TStatusCollector::TModel* TStatusCollector::ModelOf(const TSocketClient& c) {
  if (!c.analisador || c.analisador->protocolo.id == PROTOCOLO_NAO_INDENTIFICADO) return nullptr;
  return &Model(c.analisador->modelo, ProtocolName(c.analisador->protocolo.id));
}

TCounterRow& TStatusCollector::Counter(const std::string& modelo, const std::string& protocolo) {
  TCounterRow& r = counters_[{modelo, protocolo}];
  r.model = modelo;
  r.protocol = protocolo;
  return r;
}

TCounterRow* TStatusCollector::CounterOf(const TSocketClient& c) {
  if (!c.analisador || c.analisador->protocolo.id == PROTOCOLO_NAO_INDENTIFICADO) return nullptr;
  return &Counter(c.analisador->modelo, ProtocolName(c.analisador->protocolo.id));
}

void TStatusCollector::ResultReceived(const TSocketClient& c) {
  TModel* m = ModelOf(c);
  if (!m) return;
  ++m->row.results;
  const std::time_t hour = HourStart(setup_.now());
  const size_t slot = HourSlot(hour);
  if (m->hourOf[slot] != hour) {
    m->hourOf[slot] = hour;
    m->perHour[slot] = 0;
  }
  ++m->perHour[slot];
}

std::vector<uint32_t> TStatusCollector::ResultsPerHour(const TModel* m, std::time_t hourNow) {
  std::vector<uint32_t> series(RESULT_HOURS, 0);
  if (!m) return series;
  for (size_t i = 0; i < RESULT_HOURS; ++i) {
    const std::time_t hour = hourNow - static_cast<std::time_t>(RESULT_HOURS - 1 - i) * 3600;
    const size_t slot = HourSlot(hour);
    if (m->hourOf[slot] == hour) series[i] = m->perHour[slot];
  }
  return series;
}

void TStatusCollector::QueryAnswered(const TSocketClient& c, bool) {
  if (TModel* m = ModelOf(c)) ++m->row.queries;
}

void TStatusCollector::ReplyQueued(const TSocketClient& c) {
  if (TCounterRow* r = CounterOf(c)) ++r->replies;
}

TStatusCollector::TConnection* TStatusCollector::ConnectionOf(const TSocketClient& c) {
  const auto it = connections_.find(&c);
  return it == connections_.end() ? nullptr : &it->second;
}

void TStatusCollector::Settle(const TSocketClient* c, TConnection& conn) {
  if (conn.checksumErrors + conn.duplicates + conn.naks == 0) return;
  TModel* m = ModelOf(*c);
  TCounterRow* r = CounterOf(*c);
  if (!m || !r) return;
  m->row.checksumErrors += conn.checksumErrors;
  m->row.naks += conn.naks;
  r->checksumErrors += conn.checksumErrors;
  r->duplicates += conn.duplicates;
  r->naks += conn.naks;
  conn.checksumErrors = conn.duplicates = conn.naks = 0;
}

void TStatusCollector::ChecksumRefused(const TSocketClient& c) {
  if (TConnection* conn = ConnectionOf(c)) ++conn->checksumErrors;
}

void TStatusCollector::DuplicateFrame(const TSocketClient& c) {
  if (TConnection* conn = ConnectionOf(c)) ++conn->duplicates;
}

void TStatusCollector::NakReceived(const TSocketClient& c) {
  if (TConnection* conn = ConnectionOf(c)) {
    ++conn->naks;
    Settle(&c, *conn);
  }
}

void TStatusCollector::ErrorLogged(const TSocketClient& c, const std::string& line) {
  if (TModel* m = ModelOf(c)) {
    m->row.lastError = ShortErrorLine(line);
    m->row.lastErrorAt = setup_.now();
  }
}

void TStatusCollector::Connected(const TSocketClient* c, const std::string& id) { connections_[c].id = id; }

void TStatusCollector::Disconnected(const TSocketClient* c) {
  const auto it = connections_.find(c);
  if (it == connections_.end()) return;
  Settle(c, it->second);
  if (TModel* m = ModelOf(*c)) m->row.lastReceived = std::max(m->row.lastReceived, it->second.lastReceived);
  connections_.erase(it);
}

void TStatusCollector::Received(const TSocketClient* c, std::time_t when) {
  const auto it = connections_.find(c);
  if (it != connections_.end()) {
    it->second.lastReceived = when;
    Settle(c, it->second);
  }
  // Identification may only just have happened with this chunk.
  if (TModel* m = ModelOf(*c)) m->row.lastReceived = std::max(m->row.lastReceived, when);
}

void TStatusCollector::Delivered(const TArchiveEntry& entry, std::time_t when) {
  const std::string protocolo = ProtocolName(entry.protocolo);
  ++Counter(entry.modelo, protocolo).archived;
  Model(entry.modelo, protocolo).row.lastArchived = when;
}

void TStatusCollector::Tick(std::time_t now) {
  const int day = LocalDay(now);
  if (day != today_) {
    today_ = day;
    for (auto& [modelo, m] : models_) m.row.results = m.row.queries = m.row.naks = m.row.checksumErrors = 0;
  }
  for (auto& [client, conn] : connections_) {
    Settle(client, conn);
    if (TModel* m = ModelOf(*client)) m->row.lastReceived = std::max(m->row.lastReceived, conn.lastReceived);
  }
  if (lastScan_ == 0 || now - lastScan_ >= FOLDER_SCAN_SECONDS || now < lastScan_) ScanFolders(now);
  CheckSilence(now);
}

void TStatusCollector::ScanFolders(std::time_t now) {
  lastScan_ = now;
  // In the service the folders are looked at on the watch's thread; without one, here.
  TFolderFacts f;
  if (watch_) {
    if (!watch_->Latest(f)) return;
  } else {
    f = ::ScanFolders(setup_.outputFolder, setup_.spoolFolder);
  }
  outputWritable_ = f.outputWritable;
  freeKnown_ = f.freeKnown;
  freeBytes_ = f.freeBytes;
  spoolWritable_ = f.spoolWritable;
  oldestWaitingFile_ = f.oldestWaitingFile;
  CheckImport(now);
}

void TStatusCollector::Log(const std::string& txt) const {
  if (setup_.log) setup_.log->make(txt);
}

void TStatusCollector::CheckSilence(std::time_t now) {
  for (const TStatusAnalyzer& a : setup_.analyzers) {
    if (a.silenceMinutes <= 0) continue;
    TModel& m = Model(a.model, "");
    const std::time_t last = std::max(m.row.lastReceived, started_);
    const bool silent = now - last >= static_cast<std::time_t>(a.silenceMinutes) * 60;
    if (silent == m.row.silent) continue;
    m.row.silent = silent;
    if (silent)
      Log("Alerta: analisador " + a.model + " sem comunica\xE7\xE3o h\xE1" " " +
            std::to_string(a.silenceMinutes) + " minutos ou mais");
    else
      Log("Analisador " + a.model + " voltou a comunicar");
  }
}

void TStatusCollector::CheckImport(std::time_t now) {
  const int32_t minutos = setup_.importAlarmMinutes;
  const bool alarm =
      minutos > 0 && oldestWaitingFile_ != 0 && now - oldestWaitingFile_ >= static_cast<std::time_t>(minutos) * 60;
  if (alarm == importAlarm_) return;
  importAlarm_ = alarm;
  if (alarm)
    Log("Alerta: arquivo aguardando importa\xE7\xE3o h\xE1" " mais de " + std::to_string(minutos) +
          " minutos na pasta de sa\xED" "da (o importador do LIS parou?)");
  else
    Log("Importa\xE7\xE3o normalizada: nenhum arquivo aguardando h\xE1" " mais de " + std::to_string(minutos) +
          " minutos");
}

std::shared_ptr<const TStatusSnapshot> TStatusCollector::Build(std::time_t now) const {
  auto s = std::make_shared<TStatusSnapshot>();
  s->taken = now;
  s->hourNow = HourStart(now);
  s->started = started_;
  s->version = setup_.version;
  if (setup_.lis) s->lis = setup_.lis->State();
  s->outputFolder = setup_.outputFolder;
  s->outputWritable = outputWritable_;
  s->freeKnown = freeKnown_;
  s->freeBytes = freeBytes_;
  s->spoolWritable = spoolWritable_;
  s->spoolDepth = setup_.spoolPending ? setup_.spoolPending() : 0;
  if (setup_.spoolOldest)
    if (const std::optional<TDateTime> oldest = setup_.spoolOldest()) s->spoolOldest = ToTime(*oldest);
  s->spoolAlarmMinutes = SPOOL_ALARM_MINUTES;
  // The longer of the two: the disk's work there, and the page's own look at it.
  std::chrono::milliseconds busy = setup_.diskBusyFor ? setup_.diskBusyFor() : std::chrono::milliseconds(0);
  if (watch_) busy = std::max(busy, watch_->Busy());
  s->folderSilentSeconds = busy.count() / 1000;
  s->folderAlarmSeconds = setup_.diskAlarmSeconds;
  s->oldestWaitingFile = oldestWaitingFile_;
  s->importAlarmMinutes = setup_.importAlarmMinutes;
  s->importAlarm = importAlarm_;
  s->openConnections = connections_.size();
  if (setup_.links) s->links = setup_.links();
  s->logRestarts = setup_.log ? setup_.log->Restarts() : 0;
  s->residentBytes = fsys::ResidentBytes();
  if (setup_.log) {
    const auto errors = setup_.log->RecentErrors();
    for (auto it = errors.rbegin(); it != errors.rend(); ++it) s->recentErrors.push_back(ShortErrorLine(*it));
  }
  for (const auto& [key, row] : counters_) s->counters.push_back(row);

  // Configured analyzers in file order, then connected ones that match none.
  // A connection's analyzer: the one it identified as; before that, a link
  // the service opened itself belongs to the analyzer it was configured for.
  auto modelOf = [&](const TSocketClient* c, const TConnection& conn) {
    if (c->analisador && !c->analisador->modelo.empty()) return c->analisador->modelo;
    for (const TStatusLink& l : s->links)
      if (l.link.name == conn.id) return l.model;
    return std::string();
  };
  std::vector<std::string> configured;
  for (const TStatusAnalyzer& a : setup_.analyzers) {
    if (std::find(configured.begin(), configured.end(), a.model) != configured.end()) continue;
    configured.push_back(a.model);
    const auto it = models_.find(a.model);
    TAnalyzerStatus row = it != models_.end() ? it->second.row : TAnalyzerStatus{};
    row.resultsPerHour = ResultsPerHour(it != models_.end() ? &it->second : nullptr, s->hourNow);
    row.model = a.model;
    row.configured = true;
    row.silenceMinutes = a.silenceMinutes;
    for (const auto& [client, conn] : connections_)
      if (modelOf(client, conn) == a.model) row.connections.push_back(conn.id);
    s->analyzers.push_back(std::move(row));
  }
  const size_t firstUnmatched = s->analyzers.size();
  for (const auto& [client, conn] : connections_) {
    const std::string modelo = modelOf(client, conn);
    if (std::find(configured.begin(), configured.end(), modelo) != configured.end()) continue;
    auto row = std::find_if(s->analyzers.begin() + static_cast<std::ptrdiff_t>(firstUnmatched), s->analyzers.end(),
                            [&](const TAnalyzerStatus& r) { return r.model == modelo; });
    if (row == s->analyzers.end()) {
      const auto it = models_.find(modelo);
      TAnalyzerStatus fresh = it != models_.end() ? it->second.row : TAnalyzerStatus{};
      fresh.resultsPerHour = ResultsPerHour(it != models_.end() ? &it->second : nullptr, s->hourNow);
      fresh.model = modelo;
      fresh.configured = false;
      s->analyzers.push_back(std::move(fresh));
      row = s->analyzers.end() - 1;
    }
    row->connections.push_back(conn.id);
    row->lastReceived = std::max(row->lastReceived, conn.lastReceived);
  }
  return s;
}
