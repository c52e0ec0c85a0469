// The context table at its limits with threads racing for it: exactly 128
// contexts at once and the rest refused, freed slots reused lowest first,
// the table consistent at every moment of a churn, and empty at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/context.h"
#include "netquill.h"
#include "platform/os.h"
#include "scale.h"
#include "support/test_env.h"

namespace {

using nq::g_table;
using nq::kMaxContexts;

// The slot of thread id, read under the table's lock; -1 if none.
int SlotOf(uint32_t id) {
  int slot = -1;
  nq::LockEnter();
  for (int i = 0; i < g_table.slots_in_use; ++i) {
    if (g_table.slots[i] != nullptr && g_table.slots[i]->thread_id == id) {
      slot = i;
    }
  }
  nq::LockLeave();
  return slot;
}

// Live count and high-water mark, read together under the lock.
std::pair<int, int> Usage() {
  nq::LockEnter();
  std::pair<int, int> usage(g_table.live.load(), g_table.slots_in_use);
  nq::LockLeave();
  return usage;
}

// Threads that race to enable, then hold their context until released.
class Racers {
 public:
  Racers(const std::string &file, int count) : file_(file) {
    results_.assign(count, -1);
    ids_.assign(count, 0);
    release_.assign(count, false);
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this, i] {
        uint32_t id = nq::g_os.thread_id();
        {
          std::unique_lock<std::mutex> lock(mu_);
          cv_.wait(lock, [&] { return go_; });
        }
        int result = WSAEnableTrace(file_.c_str(), TRACE_FLAG_ERRORS);
        std::unique_lock<std::mutex> lock(mu_);
        results_[i] = result;
        ids_[i] = id;
        cv_.notify_all();
        cv_.wait(lock, [&] { return release_[i]; });
        lock.unlock();
        if (result == 1) WSADisableTrace();
      });
    }
  }

  ~Racers() {
    for (size_t i = 0; i < threads_.size(); ++i) Release(static_cast<int>(i));
  }

  // Lets every thread enable at once; returns when all have tried.
  void Start() {
    std::unique_lock<std::mutex> lock(mu_);
    go_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] {
      return std::count(results_.begin(), results_.end(), -1) == 0;
    });
  }

  void Release(int i) {
    if (!threads_[i].joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      release_[i] = true;
      cv_.notify_all();
    }
    threads_[i].join();
  }

  int result(int i) const { return results_[i]; }
  uint32_t id(int i) const { return ids_[i]; }
  int size() const { return static_cast<int>(threads_.size()); }

 private:
  std::string file_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool go_ = false;
  std::vector<int> results_;
  std::vector<uint32_t> ids_;
  std::vector<bool> release_;
  std::vector<std::thread> threads_;
};

// Enables on a thread of its own, which then holds its context until the
// object goes; reports the slot it got.
class Holder {
 public:
  explicit Holder(const std::string &file) {
    thread_ = std::thread([this, file] {
      int result = WSAEnableTrace(file.c_str(), TRACE_FLAG_ERRORS);
      int slot = result == 1 ? SlotOf(nq::g_os.thread_id()) : -1;
      std::unique_lock<std::mutex> lock(mu_);
      result_ = result;
      slot_ = slot;
      cv_.notify_all();
      cv_.wait(lock, [&] { return release_; });
      lock.unlock();
      if (result == 1) WSADisableTrace();
    });
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return result_ != -1; });
  }

  ~Holder() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      release_ = true;
      cv_.notify_all();
    }
    thread_.join();
  }

  int result() const { return result_; }
  int slot() const { return slot_; }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int result_ = -1;
  int slot_ = -1;
  bool release_ = false;
  std::thread thread_;
};

// A reusable barrier: every round of the churn starts and ends together, so
// the contention does not depend on how the system schedules the threads.
class Barrier {
 public:
  explicit Barrier(int count) : count_(count) {}

  void Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    int generation = generation_;
    if (++waiting_ == count_) {
      waiting_ = 0;
      ++generation_;
      cv_.notify_all();
      return;
    }
    cv_.wait(lock, [&] { return generation != generation_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int count_;
  int waiting_ = 0;
  int generation_ = 0;
};

class StressTable : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = nqtest::MakeScratchDir("stress-table");
    file_ = dir_ + nq::kPathSeparator + "table.log";
  }
  void TearDown() override { nqtest::RemoveTree(dir_); }

  std::string dir_;
  std::string file_;
};

TEST_F(StressTable, RacingThreadsGetExactly128SlotsAndReuseTheLowest) {
  const int kRacers = kMaxContexts + 12;
  Racers racers(file_, kRacers);
  racers.Start();
  std::set<uint32_t> winners;
  for (int i = 0; i < kRacers; ++i) {
    if (racers.result(i) == 1)
      winners.insert(racers.id(i));
    else
      EXPECT_EQ(racers.result(i), 0);
  }
  ASSERT_EQ(winners.size(), static_cast<size_t>(kMaxContexts));
  EXPECT_EQ(Usage(), std::make_pair(kMaxContexts, kMaxContexts));
  std::vector<int> winner_at(kMaxContexts, -1);  // slot -> racer
  std::set<uint32_t> in_table;
  for (int i = 0; i < kRacers; ++i) {
    if (racers.result(i) != 1) continue;
    int slot = SlotOf(racers.id(i));
    ASSERT_GE(slot, 0);
    winner_at[slot] = i;
    in_table.insert(racers.id(i));
  }
  EXPECT_EQ(in_table, winners);
  EXPECT_EQ(WSAEnableTrace(file_.c_str(), TRACE_FLAG_ERRORS), 0);  // full

  // Free four slots, highest first, so that reuse order is not free order.
  const int freed[] = {127, 64, 3, 0};
  for (int slot : freed) racers.Release(winner_at[slot]);
  EXPECT_EQ(Usage(), std::make_pair(kMaxContexts - 4, kMaxContexts));
  std::vector<std::unique_ptr<Holder>> late;
  for (int want : {0, 3, 64, 127}) {
    late.emplace_back(new Holder(file_));
    EXPECT_EQ(late.back()->result(), 1);
    EXPECT_EQ(late.back()->slot(), want);
  }
  Holder refused(file_);
  EXPECT_EQ(refused.result(), 0);
  for (int i = 0; i < kRacers; ++i) racers.Release(i);
  late.clear();
  EXPECT_EQ(Usage(), std::make_pair(0, 0));
  EXPECT_EQ(WSAGetTraceUsage(), 0);
}

// With 124 slots held for the whole test, twelve threads fight over the
// last four, round after round: all twelve try to enable at once, exactly
// four get in, nest, look themselves up and, once every thread has tried,
// disable again; a monitor checks the table's invariants under its lock.
TEST_F(StressTable, ChurnAtTheLimitKeepsTheTableConsistent) {
  const int kHeld = kMaxContexts - 4;
  const int kChurners = 12;
  const int rounds = nqstress::Scaled(40);
  Racers held(file_, kHeld);
  held.Start();
  for (int i = 0; i < kHeld; ++i) ASSERT_EQ(held.result(i), 1);
  std::atomic<bool> done{false};
  std::atomic<long> enabled{0}, refused{0}, wrong{0};
  Barrier barrier(kChurners);
  std::vector<std::thread> threads;
  for (int t = 0; t < kChurners; ++t) {
    threads.emplace_back([&] {
      const uint32_t self = nq::g_os.thread_id();
      for (int r = 0; r < rounds; ++r) {
        barrier.Wait();
        bool in = WSAEnableTrace(file_.c_str(), TRACE_FLAG_ERRORS) == 1;
        nq::TraceContext *ctx = nq::FindContext();
        if (in) {
          enabled++;
          if (ctx == nullptr || ctx->thread_id != self) wrong++;
          if (WSAEnableTrace(nullptr, 0) != 1 || WSAGetTraceFlags() != 1) {
            wrong++;
          }
        } else {
          refused++;
          if (ctx != nullptr) wrong++;
        }
        barrier.Wait();  // every thread has tried: four in, eight out
        if (in) {
          if (WSADisableTrace() != 1 || nq::FindContext() != ctx) wrong++;
          if (WSADisableTrace() != 1 || nq::FindContext() != nullptr) wrong++;
        }
      }
    });
  }
  long samples = 0;
  std::string broken;
  std::thread monitor([&] {
    while (!done.load()) {
      nq::LockEnter();
      int live = g_table.live.load(), mark = g_table.slots_in_use;
      int used = 0;
      std::set<uint32_t> ids;
      for (int i = 0; i < kMaxContexts; ++i) {
        if (g_table.slots[i] == nullptr) continue;
        if (i >= mark) broken = "a context above the high-water mark";
        ++used;
        if (!ids.insert(g_table.slots[i]->thread_id).second) {
          broken = "two contexts of one thread";
        }
      }
      if (!(0 <= live && live <= mark && mark <= kMaxContexts)) {
        broken = "counts out of order";
      }
      if (used != live) broken = "live count is not the slots in use";
      nq::LockLeave();
      ++samples;
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  });
  for (std::thread &t : threads) t.join();
  done = true;
  monitor.join();
  EXPECT_EQ(broken, "");
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(enabled.load(), 4L * rounds);
  EXPECT_EQ(refused.load(), static_cast<long>(kChurners - 4) * rounds);
  EXPECT_EQ(Usage(), std::make_pair(kHeld, kMaxContexts));
  for (int i = 0; i < kHeld; ++i) held.Release(i);
  EXPECT_EQ(Usage(), std::make_pair(0, 0));
  EXPECT_EQ(WSAGetTraceUsage(), 0);
  printf(
      "[ figures  ] %d held + %d threads x %d rounds on the last 4 slots: "
      "%ld enables, %ld refused, %ld table samples\n",
      kHeld, kChurners, rounds, enabled.load(), refused.load(), samples);
}

}  // namespace
