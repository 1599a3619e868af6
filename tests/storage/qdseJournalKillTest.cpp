// A real process commits in a loop and is killed (SIGKILL) at random
// moments; after each kill a fresh check of the folder must leave the table
// holding exactly the last acknowledged commit or the one after it, every
// block of it agreeing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "storage/qdseJournalEngine.h"
#include "tests/helpers/qdCommitLoopTable.h"
#include "tests/storage/qdsrTestServer.h"
#include "tests/support/qdTestFolder.h"

extern char** environ;

namespace qd::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kKills = 200;
// Each variant stops early rather than run longer than this.
constexpr auto kTimeBudget = std::chrono::seconds(25);

// The child process with its standard output on a pipe.
class TqdCommitLoopChild {
 public:
  TqdCommitLoopChild(const std::string& aFolder, int aKind) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    fRead = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    const std::string kind = std::to_string(aKind);
    char* argv[] = {const_cast<char*>(QD_COMMIT_LOOP_CHILD), const_cast<char*>(aFolder.c_str()),
                    const_cast<char*>(kind.c_str()), nullptr};
    const int error = ::posix_spawn(&fPid, QD_COMMIT_LOOP_CHILD, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (error != 0) throw std::runtime_error("posix_spawn: " + std::string(std::strerror(error)));
  }
  ~TqdCommitLoopChild() {
    if (fPid > 0) Kill();
    ::close(fRead);
  }

  // Reads what arrived within aWait; false at the end of the output.
  bool Drain(milliseconds aWait) {
    pollfd poll{fRead, POLLIN, 0};
    if (::poll(&poll, 1, int(aWait.count())) <= 0) return true;
    char buffer[4096];
    const ssize_t got = ::read(fRead, buffer, sizeof buffer);
    if (got <= 0) return false;
    for (ssize_t i = 0; i < got; ++i) {
      if (buffer[i] == '\n') {
        fAcked = std::stoull(fLine);
        ++fLines;
        fLine.clear();
      } else {
        fLine.push_back(buffer[i]);
      }
    }
    return true;
  }

  // Kills the child and collects the rest of its output; false when it had
  // ended on its own.
  bool Kill() {
    ::kill(fPid, SIGKILL);
    int status = 0;
    ::waitpid(fPid, &status, 0);
    fPid = -1;
    while (Drain(milliseconds(1000))) {
    }
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

  uint64_t fAcked = 0;
  int fLines = 0;

 private:
  pid_t fPid = -1;
  int fRead = -1;
  std::string fLine;
};

// Plain, or encrypted under a password (the child offers it; recovery
// needs none).
class JournalKillTest : public ::testing::TestWithParam<bool> {};

TEST_P(JournalKillTest, AKilledCommitterLosesNoAcknowledgedCommitAndLeavesNoHalfCommit) {
  TempFolder folder;
  const std::string folderName = folder.Path().string();
  const std::string path = folder.File(kCommitLoopTable).string();
  TqdTestTableOptions options;
  if (GetParam()) {
    options.toEncryptionEngine = u"qd1xDefault";
    options.toPasswords = {kCommitLoopPassword};
  }
  {
    TqdBufferManager cache(u"/tmp");
    auto table = TqdTestTable::Create(&cache, path, options);
    TqdTestTransaction trans(&cache);
    AddBlocks(*table, &trans, kCommitLoopCounters, 0);
    trans.Commit();
  }
  const unsigned seed = unsigned(steady_clock::now().time_since_epoch().count());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  uint64_t known = 0;
  int kills = 0;
  int lines = 0;
  const auto start = steady_clock::now();
  for (; kills < kKills && steady_clock::now() - start < kTimeBudget; ++kills) {
    const int kind = 2 - kills % 3;
    SCOPED_TRACE("kill " + std::to_string(kills) + ", kind " + std::to_string(kind));
    uint64_t acked = known;
    {
      TqdCommitLoopChild child(folderName, kind);
      // Mostly after a first commit, sometimes while it is still starting.
      if (random() % 5 != 0) {
        const auto wait = steady_clock::now() + std::chrono::seconds(5);
        while (child.fLines == 0 && steady_clock::now() < wait && child.Drain(milliseconds(5))) {
        }
      }
      const auto until = steady_clock::now() + std::chrono::microseconds(random() % 15000);
      while (steady_clock::now() < until && child.Drain(milliseconds(1))) {
      }
      ASSERT_TRUE(child.Kill()) << "the child ended on its own";
      if (child.fLines > 0) acked = child.fAcked;
      lines += child.fLines;
    }
    // A fresh process attaches the folder.
    TqdBufferManager cache(u"/tmp");
    TqdTestTransactionMgr mgr(&cache, folderName);
    const TqdJournalCheckResult result = mgr.CheckFolder();
    ASSERT_EQ(result.jcrErrorCode, 0u) << StringToUtf8(result.jcrMessages.front());
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path()))
      ASSERT_NE(entry.path().extension(), ".n$2") << entry.path();
    auto table = TqdTestTable::Open(&cache, path, options);
    const uint64_t value = CommitLoopValue(table->Access(), nullptr);
    ASSERT_TRUE(value == acked || value == acked + 1) << "on disk " << value << ", acknowledged " << acked;
    for (TqdBlockNumber n = 1; n <= kCommitLoopCounters; ++n)
      ASSERT_EQ(qdGetU64(table->Access().GetBlock(nullptr, n, kCommitLoopOwner, false).Data() + kBlockCommonHeaderSize),
                value)
          << "block " << n;
    ASSERT_EQ(table->File()->fiUsedBlocks, CommitLoopUsedBlocks(value));
    for (TqdBlockNumber n = kCommitLoopCounters + 1; n < CommitLoopUsedBlocks(value); ++n)
      ASSERT_EQ(qdGetU64(table->Access().GetBlock(nullptr, n, kCommitLoopOwner, false).Data() + kBlockCommonHeaderSize),
                (n - kCommitLoopCounters) * kCommitLoopGrowth)
          << "block " << n;
    known = value;
  }
  std::printf("[ kills    ] %d kills, %d acknowledged commits, table at %llu, %.1f s\n", kills, lines,
              static_cast<unsigned long long>(known),
              std::chrono::duration<double>(steady_clock::now() - start).count());
  // Slow builds (sanitizers, a loaded machine) reach fewer kills in the
  // time budget; fewer than this would prove little.
  EXPECT_GE(kills, 10);
  EXPECT_GT(lines, 0);
}

INSTANTIATE_TEST_SUITE_P(Tables, JournalKillTest, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& aInfo) {
  return std::string(aInfo.param ? "Encrypted" : "Plain");
});

}  // namespace
}  // namespace qd::test
