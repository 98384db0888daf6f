// Time of one service query as the service runs it: attach, start a
// transaction, prepare, execute, fetch every row, commit, detach.
// Usage: bench_db_bench [iterations] [demo folder]
// Embedded always; also through a Firebird server when KV_FB_SERVER is set
// (SYSDBA password from KV_FB_PASSWORD_FILE).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "DemoLis.hpp"
#include "lis/LisStatements.hpp"
#include "service/TGlobal.hpp"
#include "db/TMyDB.hpp"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string PasswordFrom(const std::string& file) {
  std::istringstream in(ReadAll(file));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("ISC_PASSWORD=", 0) != 0) continue;
    std::string v = line.substr(13);
    if (v.size() >= 2 && v.front() == '"') v = v.substr(1, v.size() - 2);
    return v;
  }
  return {};
}

void Measure(const char* label, TMyDB& db, const std::string& sql, const std::vector<TDbValue>& params,
             int iterations, int expectedRows) {
  std::vector<double> ms;
  ms.reserve(static_cast<size_t>(iterations));
  for (int i = 0; i < iterations; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    auto table = db.Select(sql, false, params);
    auto t1 = std::chrono::steady_clock::now();
    if (!table || table->RecordCount() != expectedRows) {
      std::fprintf(stderr, "%s: query failed (see the database log %s)\n", label, db.log_.file_name.c_str());
      return;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double v : ms) sum += v;
  auto pct = [&](double p) { return ms[std::min(ms.size() - 1, static_cast<size_t>(p * ms.size()))]; };
  std::printf("%-34s n=%d  mean %.2f ms  median %.2f ms  p95 %.2f ms  min %.2f ms  max %.2f ms\n", label,
              iterations, sum / ms.size(), pct(0.5), pct(0.95), ms.front(), ms.back());
}

void Run(const char* via, TMyDB& db, int iterations) {
  std::printf("-- %s (%s)\n", via, db.ConnectionString().c_str());
  Measure("start-up check (select 1)", db, "select 1 from rdb$database", {}, iterations, 1);
  auto order = lis::OrderStatement("XN-550", {}, "1001");
  Measure("order look-up (O1+O2+O3)", db, order->sql, order->params, iterations, 1);
  auto names = lis::ExamNamesStatement(1, 1, {"101", "103"});
  Measure("test names (E1)", db, names->sql, names->params, iterations, 8);
}

}  // namespace

int main(int argc, char** argv) {
  int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  std::string demoDir = argc > 2 ? argv[2] : (std::filesystem::path(ExecutablePath()).parent_path() / "../demo").string();
  char tmpl[] = "/tmp/kv-db-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string dir = tmpl;
  std::string file = dir + "/lis.fdb";
  try {
    bench::CreateDemoLis(file, demoDir);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }

  int rc = 0;
  {
    TMyDB db({"", file, "SYSDBA", "masterkey"}, dir + "/myDB.txt");
    Run("embedded engine", db, iterations);
  }
  if (const char* server = std::getenv("KV_FB_SERVER"); server && *server) {
    chmod(dir.c_str(), 0777);
    chmod(file.c_str(), 0666);
    const char* pw = std::getenv("KV_FB_PASSWORD_FILE");
    TMyDB db({server, file, "SYSDBA", PasswordFrom(pw ? pw : "/etc/firebird/3.0/SYSDBA.password")},
             dir + "/myDB.txt");
    Run("Firebird server", db, iterations);
  }
  std::string cleanup = "rm -rf '" + dir + "'";
  if (std::system(cleanup.c_str()) != 0) rc = 1;
  return rc;
}
