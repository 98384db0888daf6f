#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "support/FakeLis.hpp"

namespace kvtest::demo {

// The demo laboratory (demo/lis_demo_data.sql, and the extra orders 7001 and
// 7002 of the ASTM tests) as the LIS lookups answer it, for fake LIS content.
// tests/db/DemoLisContentTest.cpp checks every entry against the database.

// Devices by description: "XN-550" (1: 101, 103), "Indiko" (2: 201 to 208),
// "BC-5380" (3: 101).
void AddDevice(FakeLis& lis, const std::string& name);

// A demo order as seen from a device: the rows of the order lookup and the
// test names of the order (status 2, non-empty names, sorted as the LIS gives them).
struct Order {
  std::string device;  // the device the order is looked up from
  int64_t code;        // visible order code
  std::vector<FakeOrderRow> rows;
  std::vector<std::string> names;
};
const std::vector<Order>& Orders();

// Adds the order with this visible code (rows and names) to the fake.
void AddOrder(FakeLis& lis, int64_t code);

// The SQL that adds orders 7001 and 7002 to a demo database (Indiko device,
// exam 201 with status 2): a patient whose name is only blanks; a patient and
// physician whose names hold ASTM delimiters and a CR.
const std::string& ExtraOrdersSql();

}  // namespace kvtest::demo
