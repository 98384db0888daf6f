#pragma once
#include "clients/TClientContext.hpp"
#include "config/TConfigJson.hpp"
#include "support/FakeLis.hpp"
#include "support/MemoryArchive.hpp"
#include "support/MemoryLog.hpp"
#include "util/TDateTime.hpp"

namespace kvtest {

// The context of a record on memory ports with the clock fixed at `now`.
// Header-only and without GoogleTest, so the fuzz targets use it too.
inline TClientContext MemoryContext(MemoryLog& log, const TConfigJson& config, FakeLis& lis, MemoryArchive& archive,
                                    TDateTime now) {
  TClientContext c;
  c.log = &log;
  c.config = &config;
  c.lis = &lis;
  c.archive = &archive;
  c.clock = FixedClock(now);
  return c;
}

}  // namespace kvtest
