// Many sessions opening and closing databases on shared folders while the
// cleanup runs on a clock that moves hours at a time: no folder may be freed
// under a database, and everything is gone again at the end.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "tests/server/qdsrServerTestSupport.h"

namespace qd::test {
namespace {

using ServerStressTest = ServerFixture;

TEST_F(ServerStressTest, SessionsOpenAndCloseDatabasesWhileTheCleanupRuns) {
  ScopedClock clock;
  std::vector<qdString> paths;
  for (const char* name : {"a", "b", "c"}) {
    std::filesystem::create_directories(fTemp.Path() / name);
    paths.push_back(PathOf(fTemp.Path() / name));
  }
  paths.push_back(u"#mem");
  Start();
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<int> opens{0};
  std::thread cleanup([&] {
    while (!stop) {
      ScopedClock::Advance(17ull * 3600 * 1000);  // every folder idle long enough
      fEngine->seCleanupTimer();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < 8; ++t) {
    workers.emplace_back([&, t] {
      std::mt19937 random(uint32_t(t) * 7919u + 1);
      TqdAbstractSession* session = nullptr;
      if (fEngine->SessionOpenEx(session, u"stress", u"", u"", 5000, 47501) != 0) {
        ++failures;
        return;
      }
      std::vector<TqdAbstractDatabase*> open;
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (std::chrono::steady_clock::now() < end) {
        if (open.size() < 3 && random() % 2 == 0) {
          const qdString& path = paths[random() % paths.size()];
          TqdAbstractDatabase* database = nullptr;
          const TqdResult result = session->DatabaseOpen(database, u"Path", path, nullptr, omReadWrite, smShared, 5000);
          if (result != 0 || database == nullptr) {
            ++failures;
            continue;
          }
          ++opens;
          open.push_back(database);
        } else if (!open.empty()) {
          const size_t index = random() % open.size();
          // The folder must still be there under an open database.
          qdString folder;
          if (open[index]->GetPath(folder) != 0 || folder.empty()) ++failures;
          auto* server = static_cast<TqdServerDatabase*>(open[index]);
          if (server->Folder()->DatabaseCount() < 1) ++failures;
          TqdAbstractServerObject::Free(open[index]);
          open.erase(open.begin() + std::ptrdiff_t(index));
        }
      }
      TqdAbstractServerObject::Free(session);
    });
  }
  for (std::thread& worker : workers) worker.join();
  stop = true;
  cleanup.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(opens.load(), 100);
  EXPECT_EQ(fEngine->SessionCount(), 0);
  EXPECT_EQ(fEngine->DatabaseCount(), 0);
  EXPECT_EQ(fEngine->seCloseInactiveFolders(), 0u);
  EXPECT_EQ(fEngine->FolderCount(), 0);
  EXPECT_EQ(fEngine->InactiveFoldersCount(), 0);
}

}  // namespace
}  // namespace qd::test
