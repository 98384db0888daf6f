// The unit text: what the install run writes and the Debian package ships.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "service/TSystemdUnit.hpp"

namespace {

const std::string kExpectedRoot =
    "[Unit]\n"
    "Description=Tevarin (Redurozozi)\n"
    "After=network-online.target\n"
    "Wants=network-online.target\n"
    "\n"
    "[Service]\n"
    "Type=simple\n"
    "ExecStart=/opt/kvredurozozi/kv_redurozozi\n"
    "Restart=on-failure\n"
    "\n"
    "[Install]\n"
    "WantedBy=multi-user.target\n";

}  // namespace

TEST(SystemdUnit, TextAsRootAndAsAUser) {
  EXPECT_EQ(TSystemdUnit::Text("/opt/kvredurozozi/kv_redurozozi"), kExpectedRoot);
  std::string asUser = kExpectedRoot;
  asUser.insert(asUser.find("Restart="), "User=kvredurozozi\n");
  EXPECT_EQ(TSystemdUnit::Text("/opt/kvredurozozi/kv_redurozozi", "kvredurozozi"), asUser);
}

TEST(SystemdUnit, ExecStartAndUserAsSystemdReadsThem) {
  struct Row {
    std::string exe, user, line;
  };
  const std::vector<Row> rows = {
      {"/srv/a b/kv_redurozozi", "", "ExecStart=\"/srv/a b/kv_redurozozi\"\n"},
      {"/srv/100%/kv_redurozozi", "", "ExecStart=/srv/100%%/kv_redurozozi\n"},
      {"/opt/k/kv_redurozozi", "lab-svc.2", "User=lab-svc.2\n"},
      {"/opt/k/kv_redurozozi", "1001", "User=1001\n"},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string text = TSystemdUnit::Text(rows[i].exe, rows[i].user);
    EXPECT_NE(text.find("\n" + rows[i].line), std::string::npos) << "row " << i << "\n" << text;
  }
}

TEST(SystemdUnit, UserNamesThatWouldBreakTheUnitAreRefused) {
  const std::vector<std::string> users = {"a b", "a\nExecStartPre=/bin/sh", "a%n", "a\"b", "a\\b", "a'b", "a\tb",
                                         "a\x7F"};
  for (const std::string& user : users) {
    EXPECT_THROW(TSystemdUnit::Text("/opt/k/kv_redurozozi", user), std::invalid_argument) << user;
  }
}
