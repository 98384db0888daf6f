#pragma once
#include <functional>
#include <string>

// Broken-down local date and time; the default value is the zero date-time
// (30 December 1899 00:00:00) that null database dates read as.
struct TDateTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int msec = 0;

  bool operator==(const TDateTime&) const = default;
};

// The clock seam: everything that stamps names or records asks one of these.
using TClock = std::function<TDateTime()>;

// Local time of the host (TZ honoured).
TDateTime SystemNow();

// A clock that always answers the same time (for tests).
TClock FixedClock(TDateTime t);
