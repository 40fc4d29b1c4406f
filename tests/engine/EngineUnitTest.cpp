// The engine's pieces on their own: the device worker's outcome rules against
// a channel that the test plays.
#include "engine/EipSyncThread.h"
#include "engine/SerialPortDM.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace qor;
using namespace std::chrono_literals;

// A host channel that takes (or refuses) every byte and never answers.
class SilentChannel : public IDeviceChannel {
public:
    explicit SilentChannel(bool accept) : accept_(accept) {}
    int SendToDevice(std::span<const std::uint8_t> bytes) override {
        std::scoped_lock hold(lock_);
        if (std::string(bytes.begin(), bytes.end()) == "<<CLOSE>>")
            ++closes;
        else if (accept_)
            ++taken_;
        return accept_ ? static_cast<int>(bytes.size()) : -1;
    }
    int Closes() {
        std::scoped_lock hold(lock_);
        return closes;
    }
    // Requests the channel took (not counting "<<CLOSE>>").
    int Taken() {
        std::scoped_lock hold(lock_);
        return taken_;
    }
    void Accept(bool accept) {
        std::scoped_lock hold(lock_);
        accept_ = accept;
    }

private:
    bool accept_;
    std::mutex lock_;
    int closes = 0;
    int taken_ = 0;
};

// The worker with its outcomes recorded.
struct Worker {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<int, bool>> outcomes; // (code, success)
    std::vector<std::string> log;
    std::vector<std::pair<int, int>> closesAt;  // (outcome number, closes so far)
    SilentChannel channel;
    TEipSyncThreadEx thread;

    explicit Worker(bool accept)
        : channel(accept), thread(&channel, 0, [this](int, const std::string& text) {
              std::scoped_lock hold(lock);
              log.push_back(text);
          }) {
        auto handle = thread.OnResult;
        thread.OnResult = [this, handle](TEipSyncThread& sender, const TEipSyncCommand& command, bool success,
                                         std::int32_t code, const std::string& text, TEipResultObject* result) {
            const bool taken = handle(sender, command, success, code, text, result);
            std::scoped_lock hold(lock);
            outcomes.emplace_back(command.Code, success);
            closesAt.emplace_back(static_cast<int>(outcomes.size()), channel.Closes());
            changed.notify_all();
            return taken;
        };
    }
    bool WaitFor(std::size_t n) {
        std::unique_lock hold(lock);
        return changed.wait_for(hold, 10s, [&] { return outcomes.size() >= n; });
    }
    void Connect(std::uint8_t family = 0) { thread.QueueConnect("127.0.0.1", "0", {}, 20, 0, family); }
};

// A connect whose registration reached the device and got no answer may have
// left a session there (a device takes one registration per connection):
// every such failure reopens the channel at once, and the next connect waits
// for the new channel instead of registering again on the old one.
TEST(DeviceWorkerTest, EveryConnectFailureThatReachedTheDeviceReopensTheChannelAndEachIsLogged) {
    Worker w(/*accept=*/true);
    w.Connect();
    ASSERT_TRUE(w.WaitFor(1));
    const int sent = w.channel.Taken();
    // The same channel: nothing goes out (the disconnect marks when it is done).
    w.Connect();
    w.thread.QueueDisconnect(true);
    ASSERT_TRUE(w.WaitFor(2));
    EXPECT_EQ(w.channel.Taken(), sent);
    // The host reports it closed: a connect queued before it heard of that
    // sends nothing on the channel that is gone, and so does not ask the
    // host to reopen the channel it has just closed (a host whose socket
    // was still open would otherwise be made to reopen it).
    w.thread.SetPortState(false);
    w.Connect();
    ASSERT_TRUE(w.WaitFor(3));
    EXPECT_EQ(w.channel.Taken(), sent);
    // Open again (the worker lets the old session go): the next connect
    // goes out, fails, asks again.
    w.thread.SetPortState(true);
    w.Connect();
    ASSERT_TRUE(w.WaitFor(5));
    std::scoped_lock hold(w.lock);
    EXPECT_EQ(w.outcomes,
              (std::vector<std::pair<int, bool>>{{0, false}, {1, true}, {0, false}, {1, true}, {0, false}}));
    EXPECT_EQ(w.closesAt, (std::vector<std::pair<int, int>>{{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 2}}));
    ASSERT_EQ(w.log.size(), 2u);
    EXPECT_EQ(w.log[0].rfind("Operation failed (Connect, ", 0), 0u) << w.log[0];
}

// A read that cannot run (no processor, or its connect failed) is answered as
// not done at once, so the data source does not wait for it; only the
// connect's failure may be logged, and on a refused channel not even that.
TEST(DeviceWorkerTest, ConnectFailuresOnARefusedChannelAreNotLoggedAndReadsWithoutConnectionAreAnswered) {
    Worker w(/*accept=*/false);
    w.thread.QueueCommand(TEipCommandCode::ReadTag, "K", 0, 1, "Counter"); // no processor
    for (int i = 0; i < 3; ++i)
        w.Connect();
    w.thread.QueueCommand(TEipCommandCode::ReadTag, "K", 0, 1, "Counter"); // not connected
    w.thread.QueueCommand(TEipCommandCode::ReadTag, "K", 0, 1, "");        // nothing to read: not queued
    ASSERT_TRUE(w.WaitFor(5));
    w.Connect();
    ASSERT_TRUE(w.WaitFor(6));
    std::scoped_lock hold(w.lock);
    EXPECT_EQ(w.outcomes,
              (std::vector<std::pair<int, bool>>{{3, false}, {0, false}, {0, false}, {0, false}, {3, false}, {0, false}}));
    // Nothing reached a device: the channel is asked to reopen from the third
    // failed connect in a row on.
    EXPECT_EQ(w.closesAt, (std::vector<std::pair<int, int>>{{1, 0}, {2, 0}, {3, 0}, {4, 1}, {5, 1}, {6, 2}}));
    EXPECT_TRUE(w.log.empty());
    EXPECT_TRUE(w.thread.Results.Count() == 0);
}

// The reset a port-open report queues may find no processor (its Connect was
// dropped with the commands queued before the channel opened): it is done at
// once all the same, so the data source waiting for it sends again.
TEST(DeviceWorkerTest, ADisconnectWithoutAProcessorIsReportedDone) {
    Worker w(/*accept=*/true);
    w.thread.QueueDisconnect(/*silent=*/true);
    ASSERT_TRUE(w.WaitFor(1));
    std::scoped_lock hold(w.lock);
    EXPECT_EQ(w.outcomes, (std::vector<std::pair<int, bool>>{{1, true}}));
    EXPECT_TRUE(w.log.empty());
}

TEST(DeviceWorkerTest, APortOpenedReportReconnectsOnlyMicroLogix) {
    for (const std::uint8_t family : {std::uint8_t{0}, std::uint8_t{2}}) {
        SCOPED_TRACE(int(family));
        Worker w(/*accept=*/false);
        w.Connect(family);
        ASSERT_TRUE(w.WaitFor(1));
        w.thread.SetPortState(true);
        // Disconnect (silent) reports on the processor the connect made; a
        // MicroLogix worker then connects again with what it remembered.
        ASSERT_TRUE(w.WaitFor(family == 2 ? 3 : 2));
        std::scoped_lock hold(w.lock);
        EXPECT_EQ(w.outcomes[1], std::make_pair(1, true));
        if (family == 2) {
            EXPECT_EQ(w.outcomes[2].first, 0);
        }
        EXPECT_EQ(w.outcomes.size(), family == 2 ? 3u : 2u);
    }
}

// A processor is let go on the worker and freed later on the host's main
// thread (ProcessResults). What a failed connect left of it (a session whose
// registration never went out) must go on the worker without a word to the
// device: freed on the main thread, it would wait there for a reply that only
// the main thread can deliver, and hold every data source that long.
TEST(DeviceWorkerTest, AProcessorLetGoAfterAFailedConnectIsFreedWithoutAnExchange) {
    Worker w(/*accept=*/false);
    // A Micro800 connection (Forward Open), whose send the closed channel refuses.
    w.thread.QueueConnect("127.0.0.1", "", {}, 300, 6, 1);
    ASSERT_TRUE(w.WaitFor(1));
    w.thread.QueueDisconnect(true);
    // A connect after it reports once the disconnect has let the processor go.
    w.thread.QueueConnect("127.0.0.1", "", {}, 300, 6, 1);
    ASSERT_TRUE(w.WaitFor(3));
    auto retired = w.thread.TakeRetired();
    ASSERT_EQ(retired.size(), 1u);
    // The channel opens: nothing may go out on it for the old processor.
    w.channel.Accept(true);
    retired.clear();
    EXPECT_EQ(w.channel.Taken(), 0);
}

} // namespace
