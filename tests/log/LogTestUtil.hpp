#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "log/TLog.hpp"
#include "util/TDateTime.hpp"

namespace logtest {

// 7 March 2024 09:05:04, the time every entry of these tests carries, and its stamp.
inline const TDateTime kT1{2024, 3, 7, 9, 5, 4, 0};
inline const std::string kStamp1 = "07/03/2024 09:05:04\t";

// A log on `file` with the given size cap and the clock fixed at kT1.
inline std::unique_ptr<TLog> MakeLog(const std::string& file, int32_t cap = 1000000) {
  auto log = std::make_unique<TLog>(file, cap);
  log->now = FixedClock(kT1);
  return log;
}

}  // namespace logtest
