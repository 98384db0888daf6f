// What the status page takes from the log: the last error lines as written,
// and how often a full file was set aside.
#include <gtest/gtest.h>

#include "log/TLog.hpp"
#include "support/TestSupport.hpp"

using kvtest::TempDir;

namespace {

TEST(TLogStatusFigures, KeepsTheLastTwentyErrorLinesAsWritten) {
  TempDir dir;
  TLog log(dir / "Redurozozi.txt", 1000000);
  log.now = [] { return TDateTime{2026, 3, 4, 5, 6, 7, 0}; };
  EXPECT_TRUE(log.RecentErrors().empty());
  for (int i = 0; i < 25; ++i) {
    log.make("linha comum " + std::to_string(i));
    log.make("X.Y() -> Erro: falha " + std::to_string(i));
  }
  log.make("");
  const auto errors = log.RecentErrors();
  ASSERT_EQ(errors.size(), TLog::RECENT_ERRORS);
  EXPECT_EQ(errors.front(), "04/03/2026 05:06:07\tX.Y() -> Erro: falha 5");
  EXPECT_EQ(errors.back(), "04/03/2026 05:06:07\tX.Y() -> Erro: falha 24");
  for (const auto& e : errors) EXPECT_EQ(e.find("comum"), std::string::npos) << e;
}

TEST(TLogStatusFigures, CountsTheFilesSetAsideAtTheCap) {
  TempDir dir;
  TLog log(dir / "Redurozozi.txt", 200);
  log.generations = 2;
  for (int i = 0; i < 5; ++i) log.make(std::string(250, 'a' + i));
  log.flush();
  // Each entry alone fills the file: every one after the first finds it at the cap.
  EXPECT_EQ(log.Restarts(), 4u);
}

}  // namespace
