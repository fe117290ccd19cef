#include "sched/sched.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

namespace {

using sched::kMillisecond;
using sched::kSecond;

double WallSeconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

TEST(SchedTime, NineHundredVirtualSecondsTakeNoWallTime) {
    sched::Scheduler s;
    sched::Object never;
    sched::InitEvent(&never, true, false);
    auto start = std::chrono::steady_clock::now();
    int r = sched::WaitOne(&never, sched::DeadlineAfter(900 * kSecond), "test");
    double wall = WallSeconds(start);
    EXPECT_EQ(r, sched::kTimedOut);
    EXPECT_EQ(sched::Now(), 900 * kSecond);
    EXPECT_LT(wall, 0.5);
    RecordProperty("wall_seconds", std::to_string(wall));
    std::printf("a wait of 900 virtual seconds took %.6f s of wall time\n", wall);
}

TEST(SchedTime, SleepStallAndTickCountMoveTheVirtualClock) {
    sched::Scheduler s;
    sched::Sleep(1500 * kMillisecond);
    EXPECT_EQ(sched::Now(), 1500 * kMillisecond);
    sched::Stall(20);  // 2 microseconds
    EXPECT_EQ(sched::Now(), 1500 * kMillisecond + 20);
    EXPECT_EQ(sched::TickCountMs(), 1500u);
}

TEST(SchedEvents, NotificationReleasesEveryWaiterSynchronizationOnlyOne) {
    sched::Scheduler s;
    sched::Object notification, synchronization;
    sched::InitEvent(&notification, true, false);
    sched::InitEvent(&synchronization, false, false);
    std::vector<int> woke;
    std::vector<sched::Thread*> threads;
    for (int i = 0; i < 3; ++i) {
        threads.push_back(sched::Start("n", [&, i] {
            sched::WaitOne(&notification, sched::kForever, "n");
            woke.push_back(i);
        }));
    }
    for (int i = 0; i < 3; ++i) {
        threads.push_back(sched::Start("s", [&, i] {
            sched::WaitOne(&synchronization, sched::kForever, "s");
            woke.push_back(10 + i);
        }));
    }
    sched::Sleep(1);  // everyone is waiting now
    EXPECT_TRUE(woke.empty());
    sched::SetEvent(&notification);
    sched::Sleep(1);
    EXPECT_EQ(woke, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(sched::IsSignalled(&notification));  // stays set
    for (int round = 0; round < 3; ++round) {
        sched::SetEvent(&synchronization);
        sched::Sleep(1);
        EXPECT_EQ(woke.size(), 4u + round) << "one waiter per set";
        EXPECT_FALSE(sched::IsSignalled(&synchronization)) << "the release consumed the event";
    }
    EXPECT_EQ(woke, (std::vector<int>{0, 1, 2, 10, 11, 12})) << "waiters leave in arrival order";
    for (auto* t : threads) sched::Join(t);
}

TEST(SchedObjects, SemaphoreCountsAndKeepsItsLimit) {
    sched::Scheduler s;
    sched::Object sem;
    sched::InitSemaphore(&sem, 1, 2);
    std::int32_t previous = -1;
    EXPECT_TRUE(sched::ReleaseSemaphore(&sem, 1, &previous));
    EXPECT_EQ(previous, 1);
    EXPECT_FALSE(sched::ReleaseSemaphore(&sem, 1, &previous)) << "the limit is 2";
    EXPECT_EQ(sem.state, 2);
    EXPECT_EQ(sched::WaitOne(&sem, 0, "t"), 0);
    EXPECT_EQ(sched::WaitOne(&sem, 0, "t"), 0);
    EXPECT_EQ(sched::WaitOne(&sem, 0, "t"), sched::kTimedOut) << "a zero time-out only polls";
}

TEST(SchedObjects, MutexIsRecursiveAndOnlyItsOwnerReleasesIt) {
    sched::Scheduler s;
    sched::Object mutex;
    sched::InitMutex(&mutex);
    ASSERT_EQ(sched::WaitOne(&mutex, sched::kForever, "m"), 0);
    ASSERT_EQ(sched::WaitOne(&mutex, sched::kForever, "m"), 0);
    bool other_got_it = false;
    bool other_release_refused = false;
    sched::Thread* other = sched::Start("other", [&] {
        other_release_refused = !sched::ReleaseMutex(&mutex);
        other_got_it = sched::WaitOne(&mutex, sched::kForever, "m") == 0;
        sched::ReleaseMutex(&mutex);
    });
    sched::Sleep(1);
    EXPECT_TRUE(other_release_refused);
    EXPECT_FALSE(other_got_it);
    EXPECT_TRUE(sched::ReleaseMutex(&mutex));
    sched::Sleep(1);
    EXPECT_FALSE(other_got_it) << "still held once";
    EXPECT_TRUE(sched::ReleaseMutex(&mutex));
    sched::Join(other);
    EXPECT_TRUE(other_got_it);
}

TEST(SchedWaits, AnyAllAndTimeOut) {
    sched::Scheduler s;
    sched::Object a, b;
    sched::InitEvent(&a, false, false);
    sched::InitEvent(&b, false, false);
    sched::Object* both[] = {&a, &b};
    sched::SetEvent(&b);
    EXPECT_EQ(sched::Wait(both, 2, false, sched::kForever, "any"), 1);
    EXPECT_FALSE(sched::IsSignalled(&b));

    int all_result = -2;
    sched::Time all_done = 0;
    sched::Thread* t = sched::Start("all", [&] {
        all_result = sched::Wait(both, 2, true, sched::kForever, "all");
        all_done = sched::Now();
    });
    sched::SetEvent(&a);
    sched::Sleep(10);
    EXPECT_EQ(all_result, -2) << "one of two is not enough";
    EXPECT_TRUE(sched::IsSignalled(&a)) << "a wait for all takes nothing until it can take everything";
    sched::SetEvent(&b);
    sched::Join(t);
    EXPECT_EQ(all_result, 0);
    EXPECT_EQ(all_done, 10);
    EXPECT_FALSE(sched::IsSignalled(&a));
    EXPECT_FALSE(sched::IsSignalled(&b));

    EXPECT_EQ(sched::Wait(both, 2, false, sched::DeadlineAfter(5 * kSecond), "t"), sched::kTimedOut);
    EXPECT_EQ(sched::Now(), 10 + 5 * kSecond);
}

struct Fired {
    std::vector<std::pair<int, sched::Time>> log;
};
struct TimerCase {
    Fired* fired;
    int id;
};
void OnTimer(void* context) {
    auto* c = static_cast<TimerCase*>(context);
    c->fired->log.push_back({c->id, sched::Now()});
}

TEST(SchedTimers, FireInDueOrderAndReArmingReplaces) {
    sched::Scheduler s;
    Fired fired;
    TimerCase c1{&fired, 1}, c2{&fired, 2}, c3{&fired, 3};
    sched::Timer t1{}, t2{}, t3{};
    sched::SetTimer(&t1, 300, OnTimer, &c1);
    sched::SetTimer(&t2, 100, OnTimer, &c2);
    sched::SetTimer(&t3, 200, OnTimer, &c3);
    sched::SetTimer(&t1, 50, OnTimer, &c1);  // replaces the 300
    EXPECT_TRUE(sched::CancelTimer(&t3));
    EXPECT_FALSE(sched::CancelTimer(&t3));
    sched::Sleep(1000);
    EXPECT_EQ(fired.log, (std::vector<std::pair<int, sched::Time>>{{1, 50}, {2, 100}}));
}

// Two threads that each add 1 to a counter through a read, a scheduling point and a write.
struct RaceOutcome {
    int counter;
    std::string trace;
};
RaceOutcome RunRace(std::uint64_t seed, sched::Policy policy = sched::Policy::Random) {
    sched::Options options;
    options.policy = policy;
    options.seed = seed;
    options.record_trace = true;
    sched::Scheduler s(options);
    int counter = 0;
    auto body = [&] {
        for (int i = 0; i < 3; ++i) {
            int seen = counter;
            sched::Yield();
            counter = seen + 1;
        }
    };
    sched::Thread* a = sched::Start("a", body);
    sched::Thread* b = sched::Start("b", body);
    sched::Join(a);
    sched::Join(b);
    return {counter, s.Trace()};
}

TEST(SchedDeterminism, SameSeedSameTraceByteForByte) {
    for (std::uint64_t seed : {1u, 7u, 12345u}) {
        RaceOutcome first = RunRace(seed);
        RaceOutcome second = RunRace(seed);
        EXPECT_EQ(first.trace, second.trace) << "seed " << seed;
        EXPECT_EQ(first.counter, second.counter);
        EXPECT_FALSE(first.trace.empty());
    }
}

TEST(SchedDeterminism, RandomPolicySweepFindsTheLostUpdate) {
    int lost = 0, clean = 0;
    std::set<std::string> traces;
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        RaceOutcome o = RunRace(seed);
        (o.counter == 6 ? clean : lost) += 1;
        traces.insert(o.trace);
    }
    EXPECT_GT(lost, 0) << "some interleaving loses an update";
    EXPECT_GT(clean, 0) << "and some does not";
    EXPECT_GT(traces.size(), 5u);
}

TEST(SchedDeterminism, FifoRunsEachThreadUntilItBlocks) {
    for (std::uint64_t seed : {1u, 2u, 3u}) EXPECT_EQ(RunRace(seed, sched::Policy::Fifo).counter, 6);
}

TEST(SchedDeadlock, ReportsEveryThreadAndWhatItWaitsOn) {
    EXPECT_DEATH(
        {
            sched::Scheduler s;
            sched::Object never;
            sched::InitEvent(&never, true, false);
            sched::Thread* t = sched::Start("stuck worker", [&] { sched::WaitOne(&never, sched::kForever, "the never event"); });
            sched::Join(t);
        },
        "deadlock: every thread waits(.|\n)*main: waiting in join(.|\n)*stuck worker: waiting in the never event");
}

TEST(SchedForeign, SimAttachesAForeignThreadAsAnEmulatedOne) {
    sched::Scheduler s;
    sched::Object done;
    sched::InitEvent(&done, true, false);
    sched::Time seen_at = -1;
    sched::ExpectForeign();
    std::thread outside([&] {
        sched::ForeignThread attach("outside");
        sched::Sleep(3 * kSecond);
        seen_at = sched::Now();
        sched::SetEvent(&done);
    });
    EXPECT_EQ(sched::WaitOne(&done, sched::kForever, "foreign"), 0);
    EXPECT_EQ(seen_at, 3 * kSecond) << "the foreign thread ran on virtual time";
    outside.join();
}

TEST(SchedForeign, UnattachedCallInSimModeStopsWithAMessage) {
    EXPECT_DEATH(
        {
            sched::Scheduler s;
            std::thread outside([] { sched::Yield(); });
            outside.join();
        },
        "does not know called in; attach it");
}

TEST(SchedRealMode, ThreadsEventsTimersAndForeignThreads) {
    sched::Options options;
    options.mode = sched::Mode::Real;
    sched::Scheduler s(options);
    sched::Object ready, timer_done;
    sched::InitEvent(&ready, true, false);
    sched::InitEvent(&timer_done, true, false);
    std::atomic<int> count{0};
    sched::Thread* t = sched::Start("worker", [&] {
        sched::WaitOne(&ready, sched::kForever, "ready");
        count += 1;
    });
    std::thread outside([&] {  // never attached: real mode enrols it on its first call
        sched::WaitOne(&ready, sched::kForever, "ready");
        count += 1;
        EXPECT_NE(sched::ThreadId(sched::Current()), 0u);
    });
    sched::Timer timer{};
    sched::SetTimer(
        &timer, sched::DeadlineAfter(20 * kMillisecond), [](void* e) { sched::SetEvent(static_cast<sched::Object*>(e)); },
        &timer_done);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sched::WaitOne(&timer_done, sched::DeadlineAfter(5 * kSecond), "timer"), 0);
    EXPECT_GE(WallSeconds(start), 0.015);
    sched::SetEvent(&ready);
    sched::Join(t);
    outside.join();
    EXPECT_EQ(count.load(), 2);
    EXPECT_EQ(sched::WaitOne(&ready, 0, "poll"), 0);
    sched::Object never;
    sched::InitEvent(&never, true, false);
    EXPECT_EQ(sched::WaitOne(&never, sched::DeadlineAfter(10 * kMillisecond), "t"), sched::kTimedOut);
}

TEST(SchedPace, VirtualTimeRunsAtMostPaceTimesWallTime) {
    sched::Options options;
    options.pace = 20;
    auto start = std::chrono::steady_clock::now();  // the pace counts from the scheduler's start
    sched::Scheduler s(options);
    sched::Sleep(1 * kSecond);  // at pace 20: at least 50 ms of wall time
    EXPECT_GE(WallSeconds(start), 0.05);
}

}  // namespace
