#include "ManualClock.h"
#include "tunnel/ProxyTunnelHandshakeDeadlines.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace sentorix {
namespace {

using namespace std::chrono_literals;
using testing::ManualClock;

class Deadlines : public ::testing::Test {
protected:
    ProxyTunnelHandshakeDeadlines::Key add(DispatchTimer::Duration after, std::string name) {
        return deadlines->add(after, [this, name = std::move(name)] {
            std::lock_guard lock(mutex);
            fired.push_back(name);
        });
    }
    std::vector<std::string> firedSoFar() {
        std::lock_guard lock(mutex);
        return fired;
    }

    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ProxyTunnelHandshakeDeadlines> deadlines = std::make_shared<ProxyTunnelHandshakeDeadlines>(clock);
    std::mutex mutex;
    std::vector<std::string> fired;
};

TEST_F(Deadlines, EachFiresOnceAtItsOwnTimeInOrderWhateverOrderTheyCameIn) {
    add(30ms, "c");
    add(10ms, "a");  // earlier than the timer was set for
    add(20ms, "b");
    add(20ms, "b2");  // the same instant: in the order added
    clock->advance(9ms);
    EXPECT_TRUE(firedSoFar().empty()) << "none before its time";
    clock->advance(1ms);
    EXPECT_EQ(firedSoFar(), (std::vector<std::string>{"a"}));
    clock->advance(10ms);
    EXPECT_EQ(firedSoFar(), (std::vector<std::string>{"a", "b", "b2"}));
    clock->advance(1s);
    EXPECT_EQ(firedSoFar(), (std::vector<std::string>{"a", "b", "b2", "c"}));
    EXPECT_EQ(deadlines->pendingCount(), 0u);
    add(5ms, "later");  // the timer is set again once it has nothing left
    clock->advance(5ms);
    EXPECT_EQ(firedSoFar().back(), "later");
}

TEST_F(Deadlines, ARemovedDeadlineNeverFiresAndTheRestStillDo) {
    const auto first = add(10ms, "first");
    add(20ms, "second");
    deadlines->remove(first);
    deadlines->remove(first);  // twice is harmless
    EXPECT_EQ(deadlines->pendingCount(), 1u);
    clock->advance(15ms);
    EXPECT_TRUE(firedSoFar().empty()) << "the timer wakes for the removed one and finds nothing due";
    clock->advance(5ms);
    EXPECT_EQ(firedSoFar(), (std::vector<std::string>{"second"}));
}

TEST_F(Deadlines, ACallbackMayRemoveOrAddDeadlines) {
    ProxyTunnelHandshakeDeadlines::Key other{};
    deadlines->add(10ms, [&] {
        deadlines->remove(other);
        add(10ms, "added by a callback");
    });
    other = add(15ms, "removed by a callback");
    clock->advance(10ms);
    clock->advance(10ms);
    EXPECT_EQ(firedSoFar(), (std::vector<std::string>{"added by a callback"}));
}

TEST_F(Deadlines, NothingFiresOnceTheyAreGone) {
    add(10ms, "orphan");
    deadlines.reset();
    clock->advance(1s);
    EXPECT_TRUE(firedSoFar().empty());
}

}  // namespace
}  // namespace sentorix
