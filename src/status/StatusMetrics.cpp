// /metrics in the Prometheus text exposition format 0.0.4, written out from a
// snapshot: the counters live on the service thread and reach the HTTP thread
// only as snapshots, so a client library's own registry would add nothing.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>

#include "status/StatusRender.hpp"
#include "util/Encoding.hpp"

namespace {

// The shortest text that reads back as the same double.
std::string Num(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

void Family(std::string& out, const std::string& name, const std::string& type, const std::string& help) {
  out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string& out, const std::string& name, const std::string& labels, const std::string& value) {
  out += name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
}

std::string AnalyzerLabels(const TCounterRow& r) {
  return "modelo=\"" + LabelValue(r.model) + "\",protocolo=\"" + LabelValue(r.protocol) + "\"";
}

}  // namespace

std::string LabelValue(const std::string& cp1252) {
  std::string out;
  for (char c : Cp1252ToUtf8(cp1252)) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::string RenderMetrics(const TStatusSnapshot& s) {
  std::string m;
  const std::string p = "kv_redurozozi_";
  struct {
    const char* name;
    const char* help;
    uint64_t TCounterRow::*field;
  } const counters[] = {
      {"messages_archived_total", "Archive files written, per analyzer model and protocol.", &TCounterRow::archived},
      {"replies_sent_total", "Reply messages sent (ACK^R01, query and order replies).", &TCounterRow::replies},
      {"naks_received_total", "NAKs received from the analyzer for our items.", &TCounterRow::naks},
      {"checksum_errors_total", "Frames refused with NAK for a wrong checksum.", &TCounterRow::checksumErrors},
      {"duplicate_frames_total", "Frames received again after a lost ACK, stored once.", &TCounterRow::duplicates},
  };
  for (const auto& c : counters) {
    Family(m, p + c.name, "counter", c.help);
    for (const TCounterRow& r : s.counters) Sample(m, p + c.name, AnalyzerLabels(r), std::to_string(r.*c.field));
  }

  Family(m, p + "lis_lookups_total", "counter", "LIS lookups by outcome.");
  const std::pair<const char*, uint64_t> outcomes[] = {
      {"found", s.lis.found}, {"not_found", s.lis.notFound}, {"error", s.lis.errors}, {"timeout", s.lis.timeouts}};
  for (const auto& [name, n] : outcomes)
    Sample(m, p + "lis_lookups_total", std::string("outcome=\"") + name + "\"", std::to_string(n));

  const std::string h = p + "lis_lookup_duration_seconds";
  Family(m, h, "histogram", "Time taken by LIS lookups.");
  uint64_t cumulative = 0;
  for (size_t i = 0; i < TLisState::BUCKETS.size(); ++i) {
    cumulative += s.lis.bucketCounts[i];
    Sample(m, h + "_bucket", "le=\"" + Num(TLisState::BUCKETS[i]) + "\"", std::to_string(cumulative));
  }
  Sample(m, h + "_bucket", "le=\"+Inf\"", std::to_string(s.lis.count));
  Sample(m, h + "_sum", "", Num(s.lis.sumSeconds));
  Sample(m, h + "_count", "", std::to_string(s.lis.count));

  Family(m, p + "lis_up", "gauge", "1 when the last LIS check or lookup worked, 0 when it failed.");
  Sample(m, p + "lis_up", "", s.lis.checked && s.lis.ok ? "1" : "0");
  Family(m, p + "open_connections", "gauge", "Analyzer connections open now.");
  Sample(m, p + "open_connections", "", std::to_string(s.openConnections));
  if (!s.links.empty()) {
    Family(m, p + "link_up", "gauge", "1 while a link the service opens itself (serial port, port server) is open.");
    for (const TStatusLink& l : s.links)
      Sample(m, p + "link_up", "modelo=\"" + LabelValue(l.model) + "\",link=\"" + LabelValue(l.link.name) + "\"",
             l.link.open ? "1" : "0");
  }
  Family(m, p + "spool_messages", "gauge", "Result messages waiting in the spool for the output folder.");
  Sample(m, p + "spool_messages", "", std::to_string(s.spoolDepth));
  Family(m, p + "spool_oldest_age_seconds", "gauge", "Age of the oldest message in the spool (0 when empty).");
  Sample(m, p + "spool_oldest_age_seconds", "",
         std::to_string(s.spoolOldest == 0 ? 0 : std::max<long long>(0, s.taken - s.spoolOldest)));
  Family(m, p + "output_folder_writable", "gauge", "1 when the output folder can be written.");
  Sample(m, p + "output_folder_writable", "", s.outputWritable ? "1" : "0");
  Family(m, p + "oldest_waiting_file_age_seconds", "gauge",
         "Age of the oldest archive file not yet taken by the LIS importer (0 when none).");
  Sample(m, p + "oldest_waiting_file_age_seconds", "",
         std::to_string(s.oldestWaitingFile == 0 ? 0 : std::max<long long>(0, s.taken - s.oldestWaitingFile)));
  Family(m, p + "log_restarts_total", "counter", "Service log files set aside at the size cap.");
  Sample(m, p + "log_restarts_total", "", std::to_string(s.logRestarts));
  Family(m, p + "start_time_seconds", "gauge", "Start of the service, seconds since the epoch.");
  Sample(m, p + "start_time_seconds", "", std::to_string(s.started));
  Family(m, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
  Sample(m, "process_resident_memory_bytes", "", std::to_string(s.residentBytes));
  return m;
}
