// The file-system fault injection library on real files: the probe program
// runs the service's own file steps with the library preloaded.
#include <gtest/gtest.h>

#include <future>
#include <sstream>

#include "support/FaultFs.hpp"
#include "support/TestSupport.hpp"

using namespace kvtest;

namespace {

struct StepResult {
  std::string outcome;  // "ok" or the errno name
  double ms = 0;
};

// What a shell command printed (stdout and stderr).
std::string Shell(const std::string& cmd) {
  std::string out;
  FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

std::string ProbePath() { return std::string(KV_BINARY_DIR) + "/faultfs_probe"; }

std::vector<StepResult> Parse(const std::string& output) {
  std::vector<StepResult> out;
  std::istringstream in(output);
  std::string step;
  StepResult r;
  while (in >> step >> r.outcome >> r.ms) out.push_back(r);
  return out;
}

class FaultFsTest : public ::testing::Test {
 protected:
  FaultFsTest() : fault_(dir_ / "control") {
    WriteFile(dir_ / "in/old", "x");
    WriteFile(dir_ / "out/old", "x");
  }
  // Runs the probe with the library and answers one result per step.
  std::vector<StepResult> Probe(const std::string& steps, const std::string& folder = "/") {
    return Parse(Shell("cd " + folder + " && " + fault_.ShellEnvironment() + " " + ProbePath() + " " + steps));
  }
  std::string In(const std::string& name) const { return dir_ / ("in/" + name); }
  std::string Out(const std::string& name) const { return dir_ / ("out/" + name); }

  TempDir dir_;
  FaultFs fault_;
};

std::string Steps(const std::vector<std::string>& steps) {
  std::string s;
  for (const auto& step : steps) s += "'" + step + "' ";
  return s;
}

TEST_F(FaultFsTest, EachKindOfCallFailsUnderThePrefixOnly) {
  struct Row {
    const char* ops;
    std::string under;    // a step on a path under the prefix
    std::string outside;  // the same step elsewhere
  };
  const std::vector<Row> rows = {
      {"open", "new:" + In("a"), "new:" + Out("a")},
      {"open", "openat:" + dir_.path() + "/in:b", "openat:" + dir_.path() + "/out:b"},
      {"open", "read:" + In("old"), "read:" + Out("old")},
      {"write", "append:" + In("j"), "append:" + Out("j")},
      {"fsync", "new:" + In("c"), "new:" + Out("c")},
      {"fsync", "flushdir:" + dir_.path() + "/in", "flushdir:" + dir_.path() + "/out"},
      {"fsync", "append:" + In("k"), "append:" + Out("k")},
      {"rename", "new:" + In("d"), "new:" + Out("d")},
      {"rename", "mv:" + In("old") + ":" + In("moved"), "mv:" + Out("old") + ":" + Out("moved")},
      {"mkdir", "mkdir:" + In("sub"), "mkdir:" + Out("sub")},
      {"unlink", "rm:" + In("old"), "rm:" + Out("old")},
      {"readdir", "list:" + dir_.path() + "/in", "list:" + dir_.path() + "/out"},
      {"stat", "stat:" + In("old"), "stat:" + Out("old")},
      {"all", "new:" + In("e"), "new:" + Out("e")},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    WriteFile(In("old"), "x");
    WriteFile(Out("old"), "x");
    fault_.Set(std::string("fail ") + row.ops + " EIO " + dir_.path() + "/in\n");
    const auto results = Probe(Steps({row.under, row.outside}));
    ASSERT_EQ(results.size(), 2u) << "row " << i;
    EXPECT_EQ(results[0].outcome, "EIO") << "row " << i << ": " << row.under;
    EXPECT_EQ(results[1].outcome, "ok") << "row " << i << ": " << row.outside;
  }
  // Nothing half-made stays behind a failed write: the seam removes its temporary file.
  for (const auto& name : ListFiles(dir_.path() + "/in"))
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

TEST_F(FaultFsTest, OffAndOtherOperationsGoStraightThrough) {
  fault_.Set("fail fsync ENOSPC " + dir_.path() + "/in\n");
  auto results = Probe(Steps({"mkdir:" + In("s"), "stat:" + In("old"), "rm:" + In("old")}));
  ASSERT_EQ(results.size(), 3u);
  for (const auto& r : results) EXPECT_EQ(r.outcome, "ok");

  fault_.Off();
  results = Probe(Steps({"new:" + In("a"), "flushdir:" + dir_.path() + "/in"}));
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].outcome, "ok");
  EXPECT_EQ(results[1].outcome, "ok");
  EXPECT_EQ(ReadFile(In("a")), "x\r\n");
}

TEST_F(FaultFsTest, ARelativePathIsTakenFromTheWorkingFolder) {
  fault_.Set("fail open EACCES " + dir_.path() + "/in\n");
  auto results = Probe("new:rel", dir_.path() + "/in");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].outcome, "EACCES");
  results = Probe("new:rel", dir_.path() + "/out");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].outcome, "ok");
}

TEST_F(FaultFsTest, ADelaySlowsTheCallsUnderThePrefix) {
  fault_.Set("delay fsync 300ms " + dir_.path() + "/in\n");
  const auto results = Probe(Steps({"new:" + In("a"), "flushdir:" + dir_.path() + "/in", "new:" + Out("a")}));
  ASSERT_EQ(results.size(), 3u);
  EXPECT_GE(results[0].ms, 300);  // one fsync of the file
  EXPECT_GE(results[1].ms, 300);  // one of the folder
  EXPECT_LT(results[2].ms, results[0].ms);
  EXPECT_EQ(ReadFile(In("a")), "x\r\n");
}

TEST_F(FaultFsTest, ABlockedCallGoesOnOnceTheBlockIsLifted) {
  fault_.Set("block rename " + dir_.path() + "/in\n");
  auto probe = std::async(std::launch::async, [&] { return Probe(Steps({"new:" + In("held")})); });
  // Still held after a while: the file has not got its name.
  EXPECT_EQ(probe.wait_for(400ms), std::future_status::timeout);
  EXPECT_FALSE(FileExists(In("held")));
  fault_.Off();
  ASSERT_EQ(probe.wait_for(5s), std::future_status::ready);
  const auto results = probe.get();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].outcome, "ok");
  EXPECT_GE(results[0].ms, 200);  // held (the probe started a little after the test began to wait)
  EXPECT_EQ(ReadFile(In("held")), "x\r\n");
}

TEST_F(FaultFsTest, WithoutAControlFileNothingIsInjected) {
  fault_.Set("fail all EIO " + dir_.path() + "\n");  // not named to the program: no effect
  const auto results =
      Parse(Shell(fault_.ShellEnvironment() + " KV_FAULTFS_CONTROL= " + ProbePath() + " new:" + In("a") + " list:" +
                  dir_.path() + "/in"));
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].outcome, "ok");
  EXPECT_EQ(results[1].outcome, "ok");
}

}  // namespace
