// The kill trial: a committing process and a recovering process are killed
// with SIGKILL at random moments, and after every kill each block of both
// tables is checked against the model (qdKillTrialModel.h). Not part of the
// test run; scripts/kill-trial.sh builds and starts it.
//
//   qd_kill_trial trial [--folder F] [--kinds 2,1,0] [--kills N]
//                       [--recovery-kills M] [--seed S] [--keep]
//   qd_kill_trial commit <folder> <kind> <seed> <large 0|1>
//   qd_kill_trial recover <folder> <kind> <kill after microseconds, -1: never>
//
// Per journal kind the trial first kills committers making mostly small
// commits (N kills, each followed by a recovery that runs to its end), then
// committers making only large commits; whenever such a kill leaves a
// complete journal, the recovering process is killed too (until M of them
// were killed), up to three times while the journal is still there, before
// one recovery finishes. The committer writes "R" when its tables are open
// and the number of each commit once Commit has returned. The recoverer is
// given its moment to die and arms a SIGKILL timer for it at the start of
// its folder check, and reports how long a check that ran to its end took.
// A state on disk other than the last acknowledged commit or the one after
// it, or any block that differs from that state, is a mismatch: the folder
// is copied aside and the trial of that kind stops.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/qdEngine.h"
#include "platform/qdLittleEndian.h"
#include "storage/qdseJournalEngine.h"
#include "tests/killtrial/qdKillTrialModel.h"
#include "tests/storage/qdsrTestServer.h"

extern char** environ;

namespace qd::killtrial {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::microseconds;

constexpr uint32_t kBlockSize = 4096;

const TqdJournalEngineClass* classOfKind(int aKind) {
  const TqdJournalEngineClass* type = qdJournalEngineClassOfKind(aKind);
  if (type == nullptr) throw std::runtime_error("journal kind " + std::to_string(aKind));
  return type;
}

void say(const char* aLine) {
  // A lost line only ends the trial early; nothing to recover here.
  (void)!::write(STDOUT_FILENO, aLine, std::strlen(aLine));
}

// --- The committer ---------------------------------------------------------------------------

void writeDirectory(uint8_t* aBlock, uint32_t aUsable, uint64_t aSeed, int aTable, const TktTableState& aState,
                    uint64_t aCommit) {
  std::memcpy(aBlock, kDirectorySignature, 4);
  ktFillPattern(aBlock, aUsable, aSeed, aTable, kDirectorySlot, aCommit);
  qdPutU64(aBlock + kDirCommit, aCommit);
  qdPutU32(aBlock + kDirNextId, aState.tsNextId);
  qdPutU32(aBlock + kDirCount, uint32_t(aState.tsSlots.size()));
  uint8_t* entry = aBlock + kDirEntries;
  for (const TktSlot& slot : aState.tsSlots) {
    qdPutU32(entry, slot.sId);
    qdPutU32(entry + 4, slot.sVersion);
    qdPutU32(entry + 8, slot.sBlock);
    entry += kDirEntrySize;
  }
}

void writeSlot(uint8_t* aBlock, uint32_t aUsable, uint64_t aSeed, int aTable, uint32_t aSlot, uint64_t aVersion) {
  std::memcpy(aBlock, kDataSignature, 4);
  ktFillPattern(aBlock, aUsable, aSeed, aTable, aSlot, aVersion);
}

// One table's changes of commit aCommit under aTrans, in the plan's order.
void changeTable(TqdBlockAccess& aAccess, TqdBaseTransaction* aTrans, int aTable, TktTableState& aState, uint64_t aSeed,
                 uint64_t aCommit, bool aLarge) {
  const TktTablePlan plan = ktPlan(aState, aSeed, aCommit, aTable, aLarge);
  const uint32_t usable = aAccess.fiBlockSizeBytes();
  auto header = aAccess.HeaderAccess(aTrans, true);
  std::vector<uint32_t> newBlocks;
  auto allocate = [&] {
    for (uint32_t i = 0; i < plan.tpNewCount; ++i) {
      TqdBlockRef block = header->GetNewBlock(aTrans, kOwner);
      writeSlot(block.WritableData(), usable, aSeed, aTable, aState.tsNextId + i, aCommit);
      newBlocks.push_back(block.BlockNumber());
    }
  };
  auto release = [&] {
    for (uint32_t index : plan.tpFrees) {
      TqdBlockRef block = aAccess.GetBlock(aTrans, aState.tsSlots[index].sBlock, kOwner, true);
      header->DeleteBlock(aTrans, block);
    }
  };
  if (plan.tpAllocateFirst) {
    allocate();
    release();
  } else {
    release();
    allocate();
  }
  for (uint32_t index : plan.tpOverwrites) {
    const TktSlot& slot = aState.tsSlots[index];
    TqdBlockRef block = aAccess.GetBlock(aTrans, slot.sBlock, kOwner, true);
    writeSlot(block.WritableData(), usable, aSeed, aTable, slot.sId, aCommit);
  }
  ktApply(aState, plan, aCommit, newBlocks);
  TqdBlockRef directory = aAccess.GetBlock(aTrans, kDirectoryBlock, kOwner, true);
  writeDirectory(directory.WritableData(), usable, aSeed, aTable, aState, aCommit);
}

TktTableState readDirectory(TqdBlockAccess& aAccess, uint64_t& aCommit) {
  TqdBlockRef block = aAccess.GetBlock(nullptr, kDirectoryBlock, kOwner, false);
  const uint8_t* data = block.Data();
  TktTableState state;
  aCommit = qdGetU64(data + kDirCommit);
  state.tsNextId = qdGetU32(data + kDirNextId);
  const uint32_t count = qdGetU32(data + kDirCount);
  if (count > kMaxSlots) throw std::runtime_error("directory holds " + std::to_string(count) + " slots");
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = data + kDirEntries + i * kDirEntrySize;
    state.tsSlots.push_back({qdGetU32(entry), qdGetU32(entry + 4), qdGetU32(entry + 8)});
  }
  return state;
}

int commitMain(const std::string& aFolder, int aKind, uint64_t aSeed, bool aLarge) {
  qdJournalEngineClass.store(classOfKind(aKind));
  TqdBufferManager cache(u"/tmp");
  test::TqdTestTransactionMgr mgr(&cache, aFolder);
  std::unique_ptr<test::TqdTestTable> tables[kTables];
  TktTableState states[kTables];
  uint64_t commits[kTables];
  for (int t = 0; t < kTables; ++t) {
    tables[t] = test::TqdTestTable::Open(&cache, aFolder + "/" + kTableNames[t]);
    states[t] = readDirectory(tables[t]->Access(), commits[t]);
  }
  if (commits[0] != commits[1]) throw std::runtime_error("the tables hold different commits");
  uint64_t commit = commits[0];
  say("R\n");
  for (;;) {
    ++commit;
    test::TqdTestServerTransaction trans(&mgr);
    for (int t = 0; t < kTables; ++t) changeTable(tables[t]->Access(), &trans, t, states[t], aSeed, commit, aLarge);
    trans.Commit();
    const std::string line = std::to_string(commit) + "\n";
    say(line.c_str());
  }
}

// The tables at commit 0, made without a journal before any process runs.
void createTables(const std::string& aFolder, uint64_t aSeed) {
  TqdBufferManager cache(u"/tmp");
  const TktState state = ktInitialState();
  for (int t = 0; t < kTables; ++t) {
    auto table = test::TqdTestTable::Create(&cache, aFolder + "/" + kTableNames[t]);
    TqdBlockAccess& access = table->Access();
    const uint32_t usable = access.fiBlockSizeBytes();
    if (usable < kDirEntries + kMaxSlots * kDirEntrySize) throw std::runtime_error("directory too small");
    test::TqdTestTransaction trans(&cache);
    TktTableState slots = state.stTables[t];
    {
      auto header = access.HeaderAccess(&trans, true);
      TqdBlockRef directory = header->GetNewBlock(&trans, kOwner);
      if (directory.BlockNumber() != kDirectoryBlock) throw std::runtime_error("directory not in block 1");
      for (TktSlot& slot : slots.tsSlots) {
        TqdBlockRef block = header->GetNewBlock(&trans, kOwner);
        writeSlot(block.WritableData(), usable, aSeed, t, slot.sId, 0);
        slot.sBlock = block.BlockNumber();
      }
      writeDirectory(directory.WritableData(), usable, aSeed, t, slots, 0);
    }
    trans.Commit();
  }
}

// --- The recoverer ---------------------------------------------------------------------------

// Arms a kernel timer that kills this process with SIGKILL after aMicros:
// the moment then does not depend on when a loaded parent gets the
// processor, and the process can no more react to it than to a kill from
// outside.
void armKill(int64_t aMicros) {
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = SIGKILL;
  timer_t timer;
  if (::timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) throw std::runtime_error("timer_create");
  itimerspec when{};
  when.it_value.tv_sec = time_t(aMicros / 1000000);
  when.it_value.tv_nsec = long(aMicros % 1000000) * 1000 + 1;
  if (::timer_settime(timer, 0, &when, nullptr) != 0) throw std::runtime_error("timer_settime");
}

// The folder check, killed after aKillAfter microseconds when that is not
// negative; writes "S" before it and "D <microseconds it took>" after it.
int recoverMain(const std::string& aFolder, int aKind, int64_t aKillAfter) {
  qdJournalEngineClass.store(classOfKind(aKind));
  say("S\n");
  const auto start = Clock::now();
  if (aKillAfter >= 0) armKill(aKillAfter);
  const TqdJournalCheckResult result = qdPersistentJournalEngineClass()->Check(u"trial", Utf8ToString(aFolder));
  if (result.jcrErrorCode != 0) {
    std::fprintf(stderr, "folder check failed with %u:", result.jcrErrorCode);
    for (const qdString& message : result.jcrMessages) std::fprintf(stderr, " %s", StringToUtf8(message).c_str());
    std::fprintf(stderr, "\n");
    return 4;
  }
  const std::string done =
      "D " + std::to_string(std::chrono::duration_cast<microseconds>(Clock::now() - start).count()) + "\n";
  say(done.c_str());
  // The first attach opens the tables; every block must pass the engine's
  // own checks.
  TqdBufferManager cache(u"/tmp");
  for (const char* name : kTableNames) {
    auto table = test::TqdTestTable::Open(&cache, aFolder + "/" + name);
    for (uint32_t n = 1; n < table->File()->fiUsedBlocks; ++n) (void)table->Access().GetBlock(nullptr, n, 0, false);
  }
  return 0;
}

// --- Child processes -------------------------------------------------------------------------

// A child running this program with its standard output on a pipe, read
// line by line.
class TktChild {
 public:
  explicit TktChild(const std::vector<std::string>& aArgs) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    fRead = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    static const std::string self = fs::read_symlink("/proc/self/exe").string();
    std::vector<char*> argv{const_cast<char*>(self.c_str())};
    for (const std::string& arg : aArgs) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int error = ::posix_spawn(&fPid, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    fStarted = Clock::now();
    if (error != 0) throw std::runtime_error("posix_spawn: " + std::string(std::strerror(error)));
  }
  ~TktChild() {
    if (fPid > 0) {
      ::kill(fPid, SIGKILL);
      ::waitpid(fPid, nullptr, 0);
    }
    ::close(fRead);
  }
  TktChild(const TktChild&) = delete;
  TktChild& operator=(const TktChild&) = delete;

  // Reads lines until aDeadline, aStop returning true for a line, or the
  // end of the output; true when aStop stopped it.
  template <typename F>
  bool ReadUntil(Clock::time_point aDeadline, F&& aStop) {
    for (;;) {
      while (!fPending.empty()) {
        const std::string line = fPending.front();
        fPending.erase(fPending.begin());
        if (aStop(line)) return true;
      }
      if (fEnded) return false;
      const auto left = aDeadline - Clock::now();
      if (left <= Clock::duration::zero()) return false;
      const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timespec wait{time_t(nanos / 1000000000), long(nanos % 1000000000)};
      pollfd poll{fRead, POLLIN, 0};
      const int ready = ::ppoll(&poll, 1, &wait, nullptr);
      if (ready < 0 && errno != EINTR) throw std::runtime_error("ppoll");
      if (ready > 0) Fill();
    }
  }
  // Waits aFor, taking in what arrives.
  template <typename F>
  void ReadFor(Clock::duration aFor, F&& aEach) {
    (void)ReadUntil(Clock::now() + aFor, [&](const std::string& aLine) {
      aEach(aLine);
      return false;
    });
  }

  // Kills the child, then reads the rest of its output; the wait status.
  template <typename F>
  int Kill(F&& aEach) {
    ::kill(fPid, SIGKILL);
    return Reap(aEach);
  }
  // Reads the output to its end, then waits for the child; the wait status.
  template <typename F>
  int Reap(F&& aEach) {
    while (ReadUntil(Clock::now() + std::chrono::seconds(120), [&](const std::string& aLine) {
      aEach(aLine);
      return false;
    })) {
    }
    if (!fEnded) {
      ::kill(fPid, SIGKILL);
      std::fprintf(stderr, "a child did not end within two minutes\n");
    }
    int status = 0;
    ::waitpid(fPid, &status, 0);
    fPid = -1;
    return status;
  }

  Clock::time_point fStarted;

 private:
  void Fill() {
    char buffer[4096];
    const ssize_t got = ::read(fRead, buffer, sizeof buffer);
    if (got <= 0) {
      fEnded = true;
      return;
    }
    for (ssize_t i = 0; i < got; ++i) {
      if (buffer[i] == '\n') {
        fPending.push_back(fLine);
        fLine.clear();
      } else {
        fLine.push_back(buffer[i]);
      }
    }
  }

  pid_t fPid = -1;
  int fRead = -1;
  bool fEnded = false;
  std::string fLine;
  std::vector<std::string> fPending;
};

bool killedBySignal(int aStatus) { return WIFSIGNALED(aStatus) && WTERMSIG(aStatus) == SIGKILL; }

std::string describeStatus(int aStatus) {
  if (WIFEXITED(aStatus)) return "exit code " + std::to_string(WEXITSTATUS(aStatus));
  if (WIFSIGNALED(aStatus)) return "signal " + std::to_string(WTERMSIG(aStatus));
  return "status " + std::to_string(aStatus);
}

// --- Journals left in a folder ---------------------------------------------------------------

struct TktJournals {
  int jUnfinished = 0;  // complete flag still 0: recovery deletes it
  int jComplete = 0;    // final: recovery replays it
  bool Any() const { return jUnfinished + jComplete > 0; }
};

TktJournals journalsIn(const fs::path& aFolder) {
  TktJournals journals;
  for (const auto& entry : fs::directory_iterator(aFolder)) {
    if (entry.path().extension() != ".n$2") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    uint8_t head[12] = {};
    if (!in.read(reinterpret_cast<char*>(head), sizeof head)) {
      // An empty file is the folder's spare journal; a shorter one is an
      // unfinished journal.
      if (fs::file_size(entry.path()) > 0) ++journals.jUnfinished;
      continue;
    }
    if (qdGetU32(head + 4) == kJournalComplete)
      ++journals.jComplete;
    else
      ++journals.jUnfinished;
  }
  return journals;
}

// --- The check of a folder against the model -------------------------------------------------

// Every block of one table file, read with plain reads after recovery.
class TktTableImage {
 public:
  explicit TktTableImage(const fs::path& aPath) {
    std::ifstream in(aPath, std::ios::binary);
    fBytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  uint32_t Blocks() const { return uint32_t(fBytes.size() / kBlockSize); }
  const uint8_t* Block(uint32_t aNumber) const {
    return reinterpret_cast<const uint8_t*>(fBytes.data()) + size_t(aNumber) * kBlockSize;
  }

 private:
  std::string fBytes;
};

// "QD!2" block 0 and free-block map fields.
constexpr uint32_t kHeaderUsable = 20;
constexpr uint32_t kHeaderFreeHead = 24;
constexpr uint32_t kHeaderFreeCount = 28;
constexpr uint32_t kHeaderUsed = 32;
constexpr uint32_t kHeaderFreeCache = 104;
constexpr uint32_t kMapNext = 16;
constexpr uint32_t kMapCapacity = 20;
constexpr uint32_t kMapCount = 24;
constexpr uint32_t kMapEntries = 28;
constexpr uint32_t kNoBlock = 0xFFFFFFFF;
constexpr int32_t kMapOwner = 0x7FFFFFFF;

bool hasSignature(const uint8_t* aBlock, const char* aSignature) { return std::memcmp(aBlock, aSignature, 4) == 0; }

// The first difference between a block's content and the expected pattern,
// or nullopt.
std::optional<uint32_t> patternDiffers(const uint8_t* aBlock, uint32_t aUsable, uint32_t aFrom, uint64_t aSeed,
                                       int aTable, uint32_t aSlot, uint64_t aVersion) {
  uint8_t expected[kBlockSize];
  ktFillPattern(expected, aUsable, aSeed, aTable, aSlot, aVersion);
  for (uint32_t i = aFrom; i < aUsable; ++i)
    if (aBlock[i] != expected[i]) return i;
  return std::nullopt;
}

// Checks one table against aModel; the first fault found, empty when none.
std::string checkTable(const TktTableImage& aImage, int aTable, const TktTableState& aModel, uint64_t aCommit,
                       uint64_t aSeed) {
  std::ostringstream fault;
  const std::string table = kTableNames[aTable];
  if (aImage.Blocks() < 2) return table + ": file shorter than two blocks";
  const uint8_t* header = aImage.Block(0);
  if (!hasSignature(header, "QD!2")) return table + ": block 0 has no \"QD!2\" signature";
  const uint32_t usable = qdGetU32(header + kHeaderUsable);
  const uint32_t used = qdGetU32(header + kHeaderUsed);
  const uint32_t cached = qdGetU32(header + kHeaderFreeCount);
  if (usable + 4 > kBlockSize || usable < kDirEntries + kMaxSlots * kDirEntrySize)
    return table + ": usable size " + std::to_string(usable);
  if (used > aImage.Blocks() || used < 2)
    return table + ": " + std::to_string(used) + " used blocks in a file of " + std::to_string(aImage.Blocks());
  if (cached > 20) return table + ": free count " + std::to_string(cached) + " in block 0";
  // What each block is: 'D' directory, 'S' slot, 'F' free, 'M' free map.
  std::vector<char> role(used, 0);
  std::vector<uint32_t> slotOf(used, 0);
  auto claim = [&](uint32_t aNumber, char aRole, const char* aWhat) -> std::string {
    if (aNumber == 0 || aNumber >= used)
      return table + ": " + aWhat + " names block " + std::to_string(aNumber) + " of " + std::to_string(used);
    if (role[aNumber] != 0)
      return table + ": block " + std::to_string(aNumber) + " is " + aWhat + " and also '" +
             std::string(1, role[aNumber]) + "'";
    role[aNumber] = aRole;
    return {};
  };
  auto blockHead = [&](uint32_t aNumber, const char* aSignature, int32_t aOwner) -> std::string {
    const uint8_t* block = aImage.Block(aNumber);
    std::ostringstream out;
    if (!hasSignature(block, aSignature))
      out << table << ": block " << aNumber << " signature \"" << std::string(reinterpret_cast<const char*>(block), 4)
          << "\", expected \"" << aSignature << "\"";
    else if (qdGetU32(block + 4) != aNumber)
      out << table << ": block " << aNumber << " stores the number " << qdGetU32(block + 4);
    else if (qdGetI32(block + usable) != aOwner)
      out << table << ": block " << aNumber << " owner " << qdGetI32(block + usable) << ", expected " << aOwner;
    return out.str();
  };

  // The directory.
  if (std::string error = claim(kDirectoryBlock, 'D', "the directory"); !error.empty()) return error;
  if (std::string error = blockHead(kDirectoryBlock, kDirectorySignature, kOwner); !error.empty()) return error;
  const uint8_t* directory = aImage.Block(kDirectoryBlock);
  if (qdGetU64(directory + kDirCommit) != aCommit)
    return table + ": directory of commit " + std::to_string(qdGetU64(directory + kDirCommit)) + ", expected " +
           std::to_string(aCommit);
  const uint32_t count = qdGetU32(directory + kDirCount);
  if (qdGetU32(directory + kDirNextId) != aModel.tsNextId || count != aModel.tsSlots.size()) {
    fault << table << ": directory of commit " << aCommit << " holds " << count << " slots up to id "
          << qdGetU32(directory + kDirNextId) << ", the model " << aModel.tsSlots.size() << " up to id "
          << aModel.tsNextId;
    return fault.str();
  }
  if (auto at = patternDiffers(directory, usable, kDirEntries + count * kDirEntrySize, aSeed, aTable, kDirectorySlot,
                               aCommit))
    return table + ": directory byte " + std::to_string(*at) + " differs";

  // The slots.
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = directory + kDirEntries + i * kDirEntrySize;
    const TktSlot& model = aModel.tsSlots[i];
    const uint32_t id = qdGetU32(entry);
    const uint32_t version = qdGetU32(entry + 4);
    const uint32_t number = qdGetU32(entry + 8);
    if (id != model.sId || version != model.sVersion) {
      fault << table << ": directory entry " << i << " is slot " << id << " version " << version << ", the model slot "
            << model.sId << " version " << model.sVersion;
      return fault.str();
    }
    if (std::string error = claim(number, 'S', "a slot"); !error.empty()) return error;
    slotOf[number] = id;
    if (std::string error = blockHead(number, kDataSignature, kOwner); !error.empty()) return error;
    if (auto at = patternDiffers(aImage.Block(number), usable, kContentStart, aSeed, aTable, id, version)) {
      fault << table << ": block " << number << " (slot " << id << ", version " << version << ") differs at byte "
            << *at;
      return fault.str();
    }
  }

  // The free blocks: the numbers block 0 keeps, then the map chain.
  std::vector<uint32_t> frees;
  for (uint32_t i = 0; i < cached; ++i) frees.push_back(qdGetU32(header + kHeaderFreeCache + 4 * i));
  uint32_t steps = 0;
  for (uint32_t map = qdGetU32(header + kHeaderFreeHead); map != kNoBlock;) {
    if (++steps > used) return table + ": the free block map chain has a cycle";
    if (std::string error = claim(map, 'M', "the free block map"); !error.empty()) return error;
    if (std::string error = blockHead(map, "FBMH", kMapOwner); !error.empty()) return error;
    const uint8_t* block = aImage.Block(map);
    const uint32_t capacity = qdGetU32(block + kMapCapacity);
    const uint32_t entries = qdGetU32(block + kMapCount);
    if (capacity != (usable - kMapEntries) / 4 || entries > capacity)
      return table + ": free block map " + std::to_string(map) + " holds " + std::to_string(entries) + " of " +
             std::to_string(capacity);
    for (uint32_t i = 0; i < entries; ++i) frees.push_back(qdGetU32(block + kMapEntries + 4 * i));
    map = qdGetU32(block + kMapNext);
  }
  for (uint32_t number : frees) {
    if (std::string error = claim(number, 'F', "a free number"); !error.empty()) return error;
    if (std::string error = blockHead(number, "DEAD", 0); !error.empty()) return error;
    const uint8_t* block = aImage.Block(number);
    for (uint32_t i = kContentStart; i < kBlockSize; ++i)
      if (block[i] != 0)
        return table + ": free block " + std::to_string(number) + " byte " + std::to_string(i) + " not 0";
  }

  // Nothing else: every block below the used count has one role.
  for (uint32_t n = 1; n < used; ++n)
    if (role[n] == 0) {
      const uint8_t* block = aImage.Block(n);
      fault << table << ": block " << n << " of " << used << " is neither live nor free (signature \""
            << std::string(reinterpret_cast<const char*>(block), 4) << "\", owner " << qdGetI32(block + usable) << ")";
      return fault.str();
    }
  return {};
}

// --- The trial -------------------------------------------------------------------------------

struct TktOptions {
  fs::path oFolder = fs::temp_directory_path() / "qd-kill-trial";
  std::vector<int> oKinds{2, 1, 0};
  int oKills = 60;
  int oRecoveryKills = 15;
  uint64_t oSeed = 0;
  bool oKeep = false;
};

struct TktFigures {
  int fCommitterKills = 0;
  int fKillsInCommit = 0;      // a journal was left
  int fKillsAfterJournal = 0;  // the journal left was complete
  int fDiskAtInFlight = 0;     // the commit in flight had reached the tables
  int fRecoveriesKilled = 0;
  int fRecoveriesKilledInReplay = 0;  // a journal was still there afterwards
  int64_t fAcknowledged = 0;
  int fMismatches = 0;
  int fFailures = 0;  // a process ended otherwise than expected
  double fSeconds = 0;

  void Add(const TktFigures& aOther) {
    fCommitterKills += aOther.fCommitterKills;
    fKillsInCommit += aOther.fKillsInCommit;
    fKillsAfterJournal += aOther.fKillsAfterJournal;
    fDiskAtInFlight += aOther.fDiskAtInFlight;
    fRecoveriesKilled += aOther.fRecoveriesKilled;
    fRecoveriesKilledInReplay += aOther.fRecoveriesKilledInReplay;
    fAcknowledged += aOther.fAcknowledged;
    fMismatches += aOther.fMismatches;
    fFailures += aOther.fFailures;
    fSeconds += aOther.fSeconds;
  }
  void Print(const std::string& aWhat) const {
    std::printf(
        "%-14s committer kills %d (inside a commit %d, after the journal was complete %d, in-flight commit "
        "kept %d), recoveries killed %d (journal still present %d), commits acknowledged %lld, mismatches %d, "
        "process failures %d, %.1f s\n",
        aWhat.c_str(), fCommitterKills, fKillsInCommit, fKillsAfterJournal, fDiskAtInFlight, fRecoveriesKilled,
        fRecoveriesKilledInReplay, static_cast<long long>(fAcknowledged), fMismatches, fFailures, fSeconds);
    std::fflush(stdout);
  }
};

// A running mean of how long something takes, for picking kill moments.
class TktDuration {
 public:
  explicit TktDuration(double aInitialMs) : fMs(aInitialMs) {}
  void Add(double aMs) {
    fMs = fCount == 0 ? aMs : 0.9 * fMs + 0.1 * aMs;
    ++fCount;
  }
  double Ms() const { return fMs; }

 private:
  double fMs;
  int fCount = 0;
};

class TktKindTrial {
 public:
  TktKindTrial(const TktOptions& aOptions, int aKind)
      : fOptions(aOptions),
        fKind(aKind),
        fSeed(ktMix(aOptions.oSeed + uint64_t(aKind))),
        fRandom(fSeed),
        fFolder(aOptions.oFolder / ("kind" + std::to_string(aKind))),
        fModel(ktInitialState()) {}

  TktFigures Run() {
    const auto start = Clock::now();
    fs::remove_all(fFolder);
    fs::create_directories(fFolder);
    fLog.open(fFolder.string() + ".log", std::ios::trunc);
    fLog << "kind " << fKind << " seed " << fOptions.oSeed << " model seed " << fSeed << "\n";
    createTables(fFolder.string(), fSeed);
    // Mostly small commits with every recovery running to its end.
    for (int i = 0; i < fOptions.oKills && Going(); ++i) KillCommitter(false, false);
    // Large commits, and the recoveries of their complete journals killed.
    const int cap = 40 * std::max(1, fOptions.oRecoveryKills);
    for (int i = 0; fFigures.fRecoveriesKilled < fOptions.oRecoveryKills && Going() && i < cap; ++i)
      KillCommitter(true, true);
    fFigures.fSeconds = duration<double>(Clock::now() - start).count();
    if (fFigures.fMismatches == 0 && fFigures.fFailures == 0 && !fOptions.oKeep) fs::remove_all(fFolder);
    return fFigures;
  }

 private:
  bool Going() const { return fFigures.fMismatches == 0 && fFigures.fFailures == 0; }

  double Uniform(double aMax) { return std::uniform_real_distribution<double>(0, aMax)(fRandom); }

  void Fail(const std::string& aWhat) {
    ++fFigures.fFailures;
    Report("FAILURE", aWhat);
  }
  void Report(const char* aKind, const std::string& aWhat) {
    const fs::path kept = fFolder.string() + "-kept-" + std::to_string(fIteration);
    fs::remove_all(kept);
    fs::copy(fFolder, kept, fs::copy_options::recursive);
    std::ostringstream line;
    line << aKind << " (journal kind " << fKind << ", seed " << fOptions.oSeed << ", iteration " << fIteration
         << "): " << aWhat << "; folder kept as " << kept.string();
    std::fprintf(stderr, "%s\n", line.str().c_str());
    fLog << line.str() << "\n";
    fLog.flush();
  }

  void KillCommitter(bool aLarge, bool aKillRecovery) {
    ++fIteration;
    const uint64_t known = fModel.stCommit;
    uint64_t acked = known;
    TktDuration& commitTime = aLarge ? fLargeCommit : fCommit;
    // Lines read while the child runs time its commits; those read after
    // the kill came out of the pipe at once.
    bool timing = false;
    bool timed = false;
    Clock::time_point last{};
    auto onLine = [&](const std::string& aLine) {
      const auto now = Clock::now();
      if (aLine == "R") {
        timing = true;
        last = now;
        return;
      }
      const uint64_t value = std::stoull(aLine);
      if (value != acked + 1) throw std::runtime_error("acknowledgements out of order: " + aLine);
      acked = value;
      if (timing) {
        commitTime.Add(duration<double, std::milli>(now - last).count());
        timed = true;
        last = now;
      }
    };
    int status = 0;
    {
      TktChild child({"commit", fFolder.string(), std::to_string(fKind), std::to_string(fSeed), aLarge ? "1" : "0"});
      if (!aLarge && fRandom() % 10 == 0) {
        // Now and then while it starts and opens its tables.
        child.ReadFor(microseconds(int64_t(Uniform(fStartup.Ms()) * 1000)), onLine);
      } else {
        const bool ready = child.ReadUntil(Clock::now() + std::chrono::seconds(30), [&](const std::string& aLine) {
          onLine(aLine);
          return aLine == "R";
        });
        if (ready) fStartup.Add(duration<double, std::milli>(Clock::now() - child.fStarted).count());
        // A moment within the next few commits.
        child.ReadFor(microseconds(int64_t(Uniform(3 * commitTime.Ms()) * 1000)), onLine);
      }
      // A first commit that outlasted the estimate shows it too low.
      if (timing && !timed) {
        const double waited = duration<double, std::milli>(Clock::now() - last).count();
        if (waited > commitTime.Ms()) commitTime.Add(2 * waited);
      }
      timing = false;
      status = child.Kill(onLine);
    }
    ++fFigures.fCommitterKills;
    if (!killedBySignal(status)) return Fail("the committer ended by itself: " + describeStatus(status));
    fFigures.fAcknowledged += int64_t(acked - known);
    for (uint64_t c = known; c < acked; ++c) fModel = ktNext(fModel, fSeed, aLarge);
    const TktJournals journals = journalsIn(fFolder);
    if (journals.Any()) ++fFigures.fKillsInCommit;
    if (journals.jComplete > 0) ++fFigures.fKillsAfterJournal;

    if (aKillRecovery && journals.jComplete > 0) {
      // Up to three killed recoveries, while the journal is still there,
      // before one may finish.
      for (int attempt = 0; attempt < 3 && Going() && journalsIn(fFolder).jComplete > 0; ++attempt)
        if (!RecoverAndMaybeKill(true)) break;
    }
    if (!Going()) return;
    RecoverAndMaybeKill(false);
    if (!Going()) return;
    const TktJournals left = journalsIn(fFolder);
    if (left.Any()) return Fail("a journal is left after a recovery that ended");
    Verify(acked, aLarge, journals);
  }

  // One recovering process, killed at a random moment of its folder check
  // when aKill; false when it ended by itself.
  bool RecoverAndMaybeKill(bool aKill) {
    // A check that replays a large journal takes far longer than one that
    // only deletes an unfinished one.
    TktDuration& checkTime = journalsIn(fFolder).jComplete > 0 ? fReplayCheck : fCheck;
    const int64_t killAfter = aKill ? int64_t(Uniform(1.2 * checkTime.Ms()) * 1000) : -1;
    TktChild child({"recover", fFolder.string(), std::to_string(fKind), std::to_string(killAfter)});
    bool done = false;
    const int status = child.Reap([&](const std::string& aLine) {
      if (aLine.rfind("D ", 0) == 0) {
        done = true;
        checkTime.Add(double(std::stoll(aLine.substr(2))) / 1000);
      }
    });
    if (killedBySignal(status) && aKill) {
      ++fFigures.fRecoveriesKilled;
      if (journalsIn(fFolder).jComplete > 0) ++fFigures.fRecoveriesKilledInReplay;
      fLog << "iteration " << fIteration << ": recovery killed " << (done ? "after" : "during") << " its check (takes "
           << checkTime.Ms() << " ms)\n";
      return true;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      Fail("the recovery ended with " + describeStatus(status));
      return false;
    }
    return false;
  }

  void Verify(uint64_t aAcked, bool aLarge, const TktJournals& aJournals) {
    TktTableImage images[kTables] = {TktTableImage(fFolder / kTableNames[0]), TktTableImage(fFolder / kTableNames[1])};
    uint64_t onDisk[kTables];
    for (int t = 0; t < kTables; ++t)
      onDisk[t] = images[t].Blocks() > kDirectoryBlock ? qdGetU64(images[t].Block(kDirectoryBlock) + kDirCommit) : 0;
    std::ostringstream line;
    line << "iteration " << fIteration << ": acknowledged " << aAcked << ", on disk " << onDisk[0] << "/" << onDisk[1]
         << ", journals left " << aJournals.jUnfinished << " unfinished + " << aJournals.jComplete << " complete"
         << (aLarge ? ", large" : "") << " (a commit takes " << (aLarge ? fLargeCommit : fCommit).Ms() << " ms)";
    fLog << line.str() << "\n";
    if (onDisk[0] != onDisk[1]) {
      ++fFigures.fMismatches;
      return Report("MISMATCH", line.str() + ": the tables hold different commits");
    }
    if (onDisk[0] != aAcked && onDisk[0] != aAcked + 1) {
      ++fFigures.fMismatches;
      return Report("MISMATCH", line.str() + (onDisk[0] < aAcked ? ": an acknowledged commit was undone"
                                                                 : ": a commit that was never made"));
    }
    const TktState expected = onDisk[0] == aAcked ? fModel : ktNext(fModel, fSeed, aLarge);
    if (onDisk[0] == aAcked + 1) ++fFigures.fDiskAtInFlight;
    for (int t = 0; t < kTables; ++t) {
      const std::string fault = checkTable(images[t], t, expected.stTables[t], expected.stCommit, fSeed);
      if (!fault.empty()) {
        ++fFigures.fMismatches;
        return Report("MISMATCH", line.str() + ": commit " + std::to_string(expected.stCommit) + ", " + fault);
      }
    }
    fModel = expected;
  }

  const TktOptions& fOptions;
  const int fKind;
  const uint64_t fSeed;
  std::mt19937_64 fRandom;
  const fs::path fFolder;
  TktState fModel;
  TktFigures fFigures;
  std::ofstream fLog;
  int fIteration = 0;
  TktDuration fStartup{20};
  TktDuration fCommit{2};
  TktDuration fLargeCommit{20};
  TktDuration fCheck{5};
  TktDuration fReplayCheck{10};
};

int trialMain(int argc, char** argv) {
  TktOptions options;
  options.oSeed = std::random_device{}();
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--folder") {
      options.oFolder = value();
    } else if (arg == "--kinds") {
      options.oKinds.clear();
      std::stringstream list(value());
      for (std::string kind; std::getline(list, kind, ',');) options.oKinds.push_back(std::stoi(kind));
    } else if (arg == "--kills") {
      options.oKills = std::stoi(value());
    } else if (arg == "--recovery-kills") {
      options.oRecoveryKills = std::stoi(value());
    } else if (arg == "--seed") {
      options.oSeed = std::stoull(value());
    } else if (arg == "--keep") {
      options.oKeep = true;
    } else {
      throw std::runtime_error("unknown option " + arg);
    }
  }
  for (int kind : options.oKinds) (void)classOfKind(kind);
  fs::create_directories(options.oFolder);
  std::printf("kill trial: seed %llu, folder %s, %d committer kills and at least %d recovery kills per kind\n",
              static_cast<unsigned long long>(options.oSeed), options.oFolder.string().c_str(), options.oKills,
              options.oRecoveryKills);
  std::fflush(stdout);
  TktFigures total;
  for (int kind : options.oKinds) {
    TktKindTrial trial(options, kind);
    const TktFigures figures = trial.Run();
    figures.Print("journal kind " + std::to_string(kind) + ":");
    total.Add(figures);
  }
  total.Print("all kinds:");
  return total.fMismatches == 0 && total.fFailures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace qd::killtrial

int main(int argc, char** argv) {
  using namespace qd::killtrial;
  const std::string mode = argc > 1 ? argv[1] : "";
  qd::qdEngineInitialize();
  int result = 2;
  try {
    if (mode == "commit" && argc == 6)
      result = commitMain(argv[2], std::stoi(argv[3]), std::stoull(argv[4]), std::string(argv[5]) == "1");
    else if (mode == "recover" && argc == 5)
      result = recoverMain(argv[2], std::stoi(argv[3]), std::stoll(argv[4]));
    else if (mode == "trial")
      result = trialMain(argc, argv);
    else
      std::fprintf(
          stderr,
          "usage: %s trial [options] | commit <folder> <kind> <seed> <large> | recover <folder> <kind> <kill after>\n",
          argv[0]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kill trial %s: %s\n", mode.c_str(), e.what());
    result = 3;
  }
  qd::qdEngineFinalize();
  return result;
}
