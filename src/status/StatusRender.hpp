#pragma once
#include <string>
#include <vector>

#include "status/TStatusSnapshot.hpp"

// The service's health from a snapshot: "down" when result messages have
// nowhere durable to go (output folder and spool both unwritable), "degraded"
// for any other reason, "ok" without one. Reasons are UTF-8.
struct THealth {
  std::string status;
  std::vector<std::string> reasons;
  int HttpStatus() const { return status == "down" ? 503 : 200; }
};
THealth EvaluateHealth(const TStatusSnapshot& s);

// The /health body: {"status": ..., "reasons": [...]}.
std::string RenderHealthJson(const THealth& h);
// The status page, UTF-8 HTML.
std::string RenderStatusPage(const TStatusSnapshot& s);
// Prometheus text exposition format 0.0.4.
std::string RenderMetrics(const TStatusSnapshot& s);

// Windows-1252 text made safe for HTML (as UTF-8).
std::string HtmlText(const std::string& cp1252);
// A Prometheus label value: UTF-8 with backslash, quote and line feed escaped.
std::string LabelValue(const std::string& cp1252);
// "2 h 05 min" and the like, from seconds.
std::string AgeText(long long seconds);
