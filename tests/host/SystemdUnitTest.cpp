// The systemd unit of the install run: its text, its folder, and writing and
// removing it in a real folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/TSystemdUnit.hpp"
#include "support/TestSupport.hpp"

using kvtest::ReadFile;
using kvtest::TempDir;
namespace fs = std::filesystem;

namespace {

// Sets or clears an environment variable for a scope, then puts it back.
class EnvVar {
 public:
  EnvVar(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(value);
  }
  ~EnvVar() { Set(old_); }

 private:
  void Set(const std::optional<std::string>& value) {
    if (value)
      ::setenv(name_, value->c_str(), 1);
    else
      ::unsetenv(name_);
  }
  const char* name_;
  std::optional<std::string> old_;
};

TEST(SystemdUnit, TextForAPlainPath) {
  EXPECT_EQ(TSystemdUnit::Text("/opt/kv/kv_redurozozi"),
            "[Unit]\n"
            "Description=Tevarin (Redurozozi)\n"
            "After=network-online.target\n"
            "Wants=network-online.target\n"
            "\n"
            "[Service]\n"
            "Type=simple\n"
            "ExecStart=/opt/kv/kv_redurozozi\n"
            "Restart=on-failure\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
}

// systemd splits ExecStart at blanks and expands "%" specifiers: a lab's
// folder name must reach it as one path, unchanged.
TEST(SystemdUnit, ExecStartKeepsThePathWhole) {
  struct Row {
    const char* name;
    std::string path;
    std::string execStart;
  };
  const std::vector<Row> rows = {
      {"plain", "/opt/kv/kv_redurozozi", "ExecStart=/opt/kv/kv_redurozozi\n"},
      {"blank", "/opt/Lab Central/kv_redurozozi", "ExecStart=\"/opt/Lab Central/kv_redurozozi\"\n"},
      {"tab", "/opt/Lab\tA/kv", "ExecStart=\"/opt/Lab\tA/kv\"\n"},
      {"percent", "/opt/100%/kv", "ExecStart=/opt/100%%/kv\n"},
      {"quote and blank", "/opt/a\"b c/kv", "ExecStart=\"/opt/a\\\"b c/kv\"\n"},
      {"backslash", "/opt/a\\b/kv", "ExecStart=/opt/a\\\\b/kv\n"},
      {"UTF-8 name", "/opt/laborat\xC3\xB3rio/kv", "ExecStart=/opt/laborat\xC3\xB3rio/kv\n"},
  };
  for (const Row& r : rows) {
    const std::string text = TSystemdUnit::Text(r.path);
    EXPECT_NE(text.find("\n" + r.execStart), std::string::npos) << r.name << "\n" << text;
  }
}

TEST(SystemdUnit, FolderOptionThenEnvironmentThenTheSystems) {
  struct Row {
    const char* name;
    std::string option;
    std::optional<std::string> env;
    std::string folder;
  };
  const std::vector<Row> rows = {
      {"nothing given", "", std::nullopt, "/etc/systemd/system"},
      {"environment", "", "/srv/units", "/srv/units"},
      {"empty environment", "", "", "/etc/systemd/system"},
      {"option", "/tmp/u", std::nullopt, "/tmp/u"},
      {"option wins over environment", "/tmp/u", "/srv/units", "/tmp/u"},
  };
  for (const Row& r : rows) {
    EnvVar env(TSystemdUnit::DIR_ENV, r.env);
    EXPECT_EQ(TSystemdUnit::Folder(r.option), r.folder) << r.name;
  }
}

TEST(SystemdUnit, InstallReplacesTheUnitAndUninstallRemovesIt) {
  TempDir dir;
  const std::string unit = dir / TSystemdUnit::UNIT_NAME;
  TSystemdUnit::Install(dir.path(), "/opt/old/kv_redurozozi");
  TSystemdUnit::Install(dir.path(), "/opt/new/kv_redurozozi");
  EXPECT_EQ(ReadFile(unit), TSystemdUnit::Text("/opt/new/kv_redurozozi"));
  // Written beside and renamed: nothing half-written stays behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  EXPECT_TRUE(TSystemdUnit::Uninstall(dir.path()));
  EXPECT_FALSE(fs::exists(unit));
  EXPECT_FALSE(TSystemdUnit::Uninstall(dir.path()));
}

TEST(SystemdUnit, AFolderThatCannotTakeTheUnitThrows) {
  TempDir dir;
  EXPECT_THROW(TSystemdUnit::Install(dir / "no/such/folder", "/opt/kv/kv_redurozozi"), std::runtime_error);
  // A folder in the unit's place cannot be removed as a unit.
  fs::create_directories(dir / (std::string(TSystemdUnit::UNIT_NAME) + "/inside"));
  EXPECT_THROW(TSystemdUnit::Uninstall(dir.path()), std::runtime_error);
  EXPECT_THROW(TSystemdUnit::Install(dir.path(), "/opt/kv/kv_redurozozi"), std::runtime_error);
  EXPECT_FALSE(fs::exists(dir / (std::string(TSystemdUnit::UNIT_NAME) + ".tmp")));
}

}  // namespace

// The Debian package ships the unit the install run writes with --user.
TEST(SystemdUnit, TextForAUserAddsUserAfterExecStart) {
  std::string expected = TSystemdUnit::Text("/opt/kvredurozozi/kv_redurozozi");
  expected.insert(expected.find("Restart="), "User=kvredurozozi\n");
  EXPECT_EQ(TSystemdUnit::Text("/opt/kvredurozozi/kv_redurozozi", "kvredurozozi"), expected);
  for (const std::string user : {"lab-svc.2", "1001"}) {
    EXPECT_NE(TSystemdUnit::Text("/opt/k/kv_redurozozi", user).find("\nUser=" + user + "\n"), std::string::npos)
        << user;
  }
}

TEST(SystemdUnit, UserNamesThatWouldBreakTheUnitAreRefused) {
  const std::vector<std::string> users = {"a b", "a\nExecStartPre=/bin/sh", "a%n", "a\"b", "a\\b", "a'b", "a\tb",
                                         "a\x7F"};
  for (const std::string& user : users) {
    EXPECT_THROW(TSystemdUnit::Text("/opt/k/kv_redurozozi", user), std::invalid_argument) << user;
  }
}
