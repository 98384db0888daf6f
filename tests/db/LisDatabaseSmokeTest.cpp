#include <gtest/gtest.h>

#include "support/LisDatabase.hpp"
#include "support/TestSupport.hpp"

TEST(LisDatabaseSmoke, CreatesDemoDatabase) {
  kvtest::TempDir dir;
  TMyDBInfo info = kvtest::CreateLisDatabase(dir.path());
  EXPECT_TRUE(kvtest::FileExists(info.database));
  EXPECT_TRUE(info.server.empty());
}
