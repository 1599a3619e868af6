// The server's per-call overheads, beside SQLite's open of an existing file:
//   - qdCheckTimeout with an armed deadline (the poll of every long loop;
//     target: 20 ns or less) and qdRemainingTimeout;
//   - a session open and close on a started engine;
//   - a database open and close on a folder that is already open (another
//     database keeps it), through the session's DatabaseOpen by path;
//   - SQLite: sqlite3_open_v2 and sqlite3_close of an existing database file
//     (journal_mode and synchronous as SQLite defaults them: DELETE, FULL),
//     in the same run.
// Both engines must open what they are asked to: a failed open ends the run.
//
//   build/release/bench/qdServerBench [iterations]
//
// Times are wall-clock per operation, the best of three passes.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "engine/qdEngine.h"
#include "server/qdsrServerDatabase.h"
#include "server/qdsrServerEngine.h"
#include "server/qdsrServerSession.h"
#include "server/qdsrTimeoutHandling.h"

namespace {

double bestNs(int aIterations, const std::function<void()>& aOperation) {
  double best = 1e300;
  for (int pass = 0; pass < 3; ++pass) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < aIterations; ++i) aOperation();
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    best = std::min(best, ns / aIterations);
  }
  return best;
}

[[noreturn]] void fail(const char* aWhat, unsigned aCode) {
  std::fprintf(stderr, "%s failed: %u\n", aWhat, aCode);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace qd;
  const int iterations = argc > 1 ? std::atoi(argv[1]) : 20000;
  qdEngineInitialize();
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("qdServerBench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);

  qdSetThreadTimeout(600'000, true);
  volatile int32_t sink = 0;
  const double check = bestNs(iterations * 50, [] { qdsrTimeoutHandling::qdCheckTimeout(); });
  const double remaining = bestNs(iterations * 50, [&] { sink = sink + qdRemainingTimeout(); });

  auto* engine = qdCreate<TqdServerEngine>(nullptr);
  engine->SetActive(true);
  const double session = bestNs(iterations, [&] {
    TqdAbstractSession* s = nullptr;
    const TqdResult result = engine->SessionOpenEx(s, u"bench", u"", u"", 5000, 47501);
    if (result != 0) fail("SessionOpenEx", result);
    TqdAbstractServerObject::Free(s);
  });
  TqdAbstractSession* owner = nullptr;
  if (engine->SessionOpenEx(owner, u"bench", u"", u"", 5000, 47501) != 0) fail("SessionOpenEx", 1);
  const qdString path = Utf8ToString(folder.string());
  TqdAbstractDatabase* keeper = nullptr;
  TqdResult result = owner->DatabaseOpen(keeper, u"Path", path, nullptr, omReadWrite, smShared, 5000);
  if (result != 0) fail("DatabaseOpen", result);
  const double database = bestNs(iterations, [&] {
    TqdAbstractDatabase* d = nullptr;
    const TqdResult code = owner->DatabaseOpen(d, u"Path", path, nullptr, omReadWrite, smShared, 5000);
    if (code != 0) fail("DatabaseOpen", code);
    TqdAbstractServerObject::Free(d);
  });
  qdFreeAndNil(engine);

  const std::string file = (folder / "bench.sqlite").string();
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
    fail("sqlite3_open_v2", 1);
  sqlite3_exec(db, "CREATE TABLE t(x)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  const double sqlite = bestNs(iterations, [&] {
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(file.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) fail("sqlite3", 1);
    sqlite3_close(handle);
  });

  std::printf("qdCheckTimeout                 %8.1f ns  (target <= 20 ns)\n", check);
  std::printf("qdRemainingTimeout             %8.1f ns\n", remaining);
  std::printf("session open+close             %8.1f ns\n", session);
  std::printf("database open+close (open dir) %8.1f ns\n", database);
  std::printf("sqlite3_open_v2+close          %8.1f ns  (journal_mode=DELETE, synchronous=FULL)\n", sqlite);
  std::printf("database / sqlite ratio        %8.2f\n", database / sqlite);
  std::filesystem::remove_all(folder);
  qdEngineFinalize();
  return sink == -1 ? 1 : 0;
}
