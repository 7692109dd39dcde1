// The output thread and the two frame senders on the virtual board: frames go out in the order they
// were handed over, whole, with the same line operations as on the GUI
// thread; what each did comes back only when the GUI side asks, and a frame
// on its way is always finished.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "comport/sys/virtual_board.h"
#include "fixture.h"
#include "sequencer/frame_sender.h"
#include "support/gated_platform.h"
#include "support/recording_platform.h"

using namespace sequencer;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing_support::allOffWire;
using testing_support::bitsFor;
using testing_support::frameWire;

namespace {

Frame stepFrame(std::initializer_list<int> channels) {
  Frame frame;
  for (int k : channels) frame.bits[static_cast<std::size_t>(k - 1)] = true;
  return frame;
}

// The bits a latch leaves for the given channels (channel k on stage 49 − k).
std::uint64_t latchOf(std::initializer_list<int> channels) {
  std::uint64_t bits = 0;
  for (int k : channels) bits |= std::uint64_t{1} << (48 - k);
  return bits;
}

class OutputThreadTest : public ::testing::Test {
 protected:
  OutputThreadTest() : port(gate) {
    port.setPort("COM2");
    port.OpenPort();
    // As a start leaves them: the clock low, so that the first pulse shifts.
    port.SetRTS(false);
    port.SetDTR(false);
    board->keepHistory(100);
    platform.setLogging(true);
  }

  std::unique_ptr<OutputThread> makeThread() {
    return std::make_unique<OutputThread>(port, [this] {
      {
        std::lock_guard lock(mutex);
        ++wakes;
        wakeThreads.push_back(std::this_thread::get_id());
      }
      woken.notify_all();
    });
  }
  bool waitWakes(int n) {
    std::unique_lock lock(mutex);
    return woken.wait_for(lock, std::chrono::seconds(5), [&] { return wakes >= n; });
  }
  std::vector<testing_support::Call> wire() const { return platform.wire(); }

  std::shared_ptr<sys::VirtualBoard> board = std::make_shared<sys::VirtualBoard>("COM2");
  testing_support::RecordingPlatform platform{*board};
  testing_support::GatedPlatform gate{platform};
  comport::TSerialPort port;

  std::mutex mutex;
  std::condition_variable woken;
  int wakes = 0;
  std::vector<std::thread::id> wakeThreads;
};

TEST_F(OutputThreadTest, FramesGoOutInOrderAndWhatTheyDidComesBackOnlyWhenAsked) {
  auto output = makeThread();
  std::vector<std::string> done;
  std::vector<std::thread::id> doneThreads;
  gate.close();
  output->send(stepFrame({1, 5, 48}), [&](const FrameResult& r) {
    EXPECT_EQ(r.bitsSent, 48);
    EXPECT_FALSE(r.error);
    done.push_back("step");
    doneThreads.push_back(std::this_thread::get_id());
  });
  output->send(Frame::allOff(), [&](const FrameResult& r) {
    EXPECT_FALSE(r.error);
    done.push_back("all off");
    doneThreads.push_back(std::this_thread::get_id());
  });
  ASSERT_TRUE(gate.waitHeld());
  // On its way, held at its first line operation.
  EXPECT_TRUE(output->busy());
  EXPECT_FALSE(output->deliver());
  EXPECT_TRUE(done.empty());

  gate.open();
  ASSERT_TRUE(waitWakes(2));
  EXPECT_TRUE(output->busy()) << "until the GUI side has seen what they did";
  EXPECT_TRUE(done.empty());
  EXPECT_TRUE(output->deliver());
  EXPECT_THAT(done, ElementsAre("step", "all off"));
  EXPECT_THAT(doneThreads, ElementsAre(std::this_thread::get_id(), std::this_thread::get_id()));
  EXPECT_FALSE(output->busy());
  for (const auto id : wakeThreads) EXPECT_NE(id, std::this_thread::get_id());

  std::vector<testing_support::Call> expected = frameWire(bitsFor({1, 5, 48}));
  for (const auto& call : allOffWire()) expected.push_back(call);
  EXPECT_THAT(wire(), ElementsAreArray(expected));
  EXPECT_THAT(board->history(), ElementsAre(latchOf({1, 5, 48}), 0u));
}

TEST_F(OutputThreadTest, ASettledClockIsLoweredFirst) {
  auto output = makeThread();
  Frame frame = stepFrame({2});
  frame.settleClock = true;
  output->send(frame, [](const FrameResult&) {});
  output->finish();
  std::vector<testing_support::Call> expected = {testing_support::clrDtr()};
  for (const auto& call : frameWire(bitsFor({2}))) expected.push_back(call);
  EXPECT_THAT(wire(), ElementsAreArray(expected));
}

TEST_F(OutputThreadTest, FinishWaitsForEveryFrameAlsoThoseHandedOverByADone) {
  auto output = makeThread();
  std::vector<int> done;
  output->send(stepFrame({1}), [&](const FrameResult&) {
    done.push_back(1);
    output->send(stepFrame({2}), [&](const FrameResult&) { done.push_back(2); });
  });
  output->finish();
  EXPECT_THAT(done, ElementsAre(1, 2));
  EXPECT_FALSE(output->busy());
  EXPECT_THAT(board->history(), ElementsAre(latchOf({1}), latchOf({2})));
}

TEST_F(OutputThreadTest, AFailingFrameBringsBackTheBitsItSentAndTheMessage) {
  auto output = makeThread();
  // Operation 32 of a step frame is channel 11's rising clock edge: its data
  // bit is on the line.
  platform.unplugAfter(31);
  std::vector<FrameResult> results;
  output->send(stepFrame({3}), [&](const FrameResult& r) { results.push_back(r); });
  output->finish();
  platform.replug();
  output->send(stepFrame({4}), [&](const FrameResult& r) { results.push_back(r); });
  output->finish();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].bitsSent, 11);
  EXPECT_EQ(results[0].error, std::optional<std::string>("Ошибка функции EscapeCommFunction"));
  EXPECT_EQ(results[1].bitsSent, 48);
  EXPECT_FALSE(results[1].error);
  EXPECT_THAT(board->history(), ElementsAre(latchOf({4}))) << "a cut frame is never latched";
}

TEST_F(OutputThreadTest, EndingSendsWhatWasHandedOverWholeAndDropsWhatItDid) {
  auto output = makeThread();
  bool ran = false;
  gate.close();
  output->send(stepFrame({7}), [&](const FrameResult&) { ran = true; });
  output->send(Frame::allOff(), [&](const FrameResult&) { ran = true; });
  ASSERT_TRUE(gate.waitHeld());
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    gate.open();
  });
  output.reset();
  opener.join();
  EXPECT_FALSE(ran);
  EXPECT_THAT(board->history(), ElementsAre(latchOf({7}), 0u));
  EXPECT_EQ(wire().size(), 145u + 99u);
}

}  // namespace

// Both senders keep the lines' bookkeeping the same way: a step frame after
// a cut-short one lowers the clock first, the next one does not, and what
// each frame did reaches its `done` in order.
TEST_F(OutputThreadTest, BothSendersLowerTheClockAfterACutShortFrame) {
  const auto immediate = [this] { return std::make_unique<ImmediateSender>(port); };
  const auto threaded = [this] {
    return std::make_unique<ThreadedSender>(port, false, std::function<void()>{});
  };
  const std::pair<const char*, std::function<std::unique_ptr<FrameSender>()>> senders[] = {
      {"immediate", immediate}, {"threaded", threaded}};
  for (const auto& [name, make] : senders) {
    SCOPED_TRACE(name);
    platform.clearCalls();
    auto sender = make();
    std::vector<std::string> done;
    const auto record = [&](const FrameResult& r) { done.push_back(r.error ? "error" : "ok"); };
    platform.failCall(testing_support::Op::EscapeCommFunction, 10, sys::kErrorBadCommand);
    // One frame at a time, as the ticks hand them over; the first is cut
    // short at its tenth line operation.
    for (int k = 1; k <= 3; ++k) {
      sender->send(stepFrame({k}), record);
      sender->finish();
    }
    EXPECT_FALSE(sender->busy());
    EXPECT_THAT(done, ElementsAre("error", "ok", "ok"));
    EXPECT_FALSE(sender->linesUnsettled());
    std::vector<testing_support::Call> expected = frameWire(bitsFor({1}));
    expected.resize(10);  // up to the call that failed
    expected.push_back(testing_support::clrDtr());
    for (const auto& call : frameWire(bitsFor({2}))) expected.push_back(call);
    for (const auto& call : frameWire(bitsFor({3}))) expected.push_back(call);
    EXPECT_THAT(wire(), ElementsAreArray(expected));
  }
}
