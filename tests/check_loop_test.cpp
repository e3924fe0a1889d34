// ctest-properties: LABELS threaded
#include "tavrine/agent/check_loop.h"
#include "tavrine/platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct LoopFixture {
  AgentState state;
  TrayState tray;
  agent::CheckPacer pacer;
  std::atomic<int> cycles{0};

  explicit LoopFixture(uint64_t interval_seconds) {
    state.config.interval_seconds = interval_seconds;
    state.tray.store(&tray);
  }
  // Starts the loop on a detached thread, as the agent does.
  std::future<void> start(std::function<void()> extra = {}) {
    // The thread owns the promise, so nothing it touches after signalling
    // belongs to the fixture.
    auto ended = std::make_shared<std::promise<void>>();
    auto finished = ended->get_future();
    const auto started = platform::startDetachedThread([this, extra, ended] {
      agent::runCheckLoop(state, pacer, [this, extra] {
        ++cycles;
        if (extra) extra();
      });
      ended->set_value();
    });
    EXPECT_TRUE(started);
    return finished;
  }
};

TEST(CheckLoop, FirstCycleAtOnceAndStoppingEndsThePause) {
  LoopFixture loop(3600);
  auto finished = loop.start();
  while (loop.cycles.load() == 0) std::this_thread::sleep_for(1ms);
  agent::stopChecks(loop.tray, loop.pacer);
  ASSERT_EQ(finished.wait_for(10s), std::future_status::ready)
      << "an hour-long pause must end when running is cleared";
  EXPECT_EQ(loop.cycles.load(), 1);
}

TEST(CheckLoop, CyclesRepeatAfterTheRealInterval) {
  LoopFixture loop(1);
  auto finished = loop.start();
  while (loop.cycles.load() < 2) std::this_thread::sleep_for(10ms);
  agent::stopChecks(loop.tray, loop.pacer);
  ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
  EXPECT_GE(loop.cycles.load(), 2);
}

TEST(CheckLoop, DetachingTheTrayWaitsForTheCycleUnderWay) {
  LoopFixture loop(3600);
  std::promise<void> in_cycle;
  std::promise<void> release_cycle;
  auto release = release_cycle.get_future().share();
  auto finished = loop.start([&, release] {
    in_cycle.set_value();
    release.wait();
  });
  in_cycle.get_future().wait();

  std::atomic<bool> detached{false};
  std::thread shutdown([&] {
    agent::detachTray(loop.state, loop.pacer);
    detached = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(detached.load()) << "the tray must outlive the cycle that uses it";
  release_cycle.set_value();
  shutdown.join();
  EXPECT_EQ(loop.state.tray.load(), nullptr);
  ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(loop.cycles.load(), 1);
}

TEST(CheckLoop, FirstCycleRunsEvenWithoutTray) {
  LoopFixture loop(3600);
  loop.state.tray.store(nullptr);
  auto finished = loop.start();
  ASSERT_EQ(finished.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(loop.cycles.load(), 1);
}

}  // namespace
