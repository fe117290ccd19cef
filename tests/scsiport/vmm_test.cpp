// The Windows 98/Me semaphore services: tokens and waits, handles checked, leaks reported at shutdown.
#include "kernel/fixture.h"
#include "vmm.h"

namespace {

using VmmTest = kt::KernelTest;

TEST_F(VmmTest, AWaitTakesATokenOrBlocksUntilASignal) {
    VMM_SEMAPHORE semaphore = Create_Semaphore(1);
    ASSERT_NE(semaphore, 0u);
    sched::Time start = sched::Now();
    Wait_Semaphore(semaphore, BLOCK_THREAD_IDLE);
    EXPECT_EQ(sched::Now(), start) << "the token was there";
    sched::Time woke = 0;
    sched::Thread* waiter = sched::Start("waiter", [semaphore, &woke] {
        Wait_Semaphore(semaphore, BLOCK_SVC_INTS | BLOCK_THREAD_IDLE);
        woke = sched::Now();
    });
    sched::Sleep(5 * sched::kMillisecond);
    EXPECT_EQ(woke, 0);
    Signal_Semaphore(semaphore);
    sched::Join(waiter);
    EXPECT_EQ(woke, start + 5 * sched::kMillisecond);
    // Signals count up without a limit.
    for (int i = 0; i < 3; ++i) Signal_Semaphore(semaphore);
    for (int i = 0; i < 3; ++i) Wait_Semaphore(semaphore, BLOCK_THREAD_IDLE);
    EXPECT_EQ(sched::Now(), start + 5 * sched::kMillisecond);
    Destroy_Semaphore(semaphore);
}

TEST_F(VmmTest, HandlesAreCheckedAndNeverUsedAgain) {
    VMM_SEMAPHORE first = Create_Semaphore(0);
    Destroy_Semaphore(first);
    VMM_SEMAPHORE second = Create_Semaphore(0);
    EXPECT_NE(second, first);
    struct Case {
        const char* what;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"signal of 0", [] { Signal_Semaphore(0); }},
        {"wait on a made-up handle", [] { Wait_Semaphore(0x1234, BLOCK_THREAD_IDLE); }},
        {"signal after destroy", [first] { Signal_Semaphore(first); }},
        {"destroy twice", [first] { Destroy_Semaphore(first); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.call();
        EXPECT_EQ(kernel::TakeFaults("which is not a semaphore"), 1);
    }
    Destroy_Semaphore(second);
}

TEST_F(VmmTest, ASemaphoreIsNotDestroyedUnderItsWaiter) {
    VMM_SEMAPHORE semaphore = Create_Semaphore(0);
    sched::Thread* waiter = sched::Start("waiter", [semaphore] { Wait_Semaphore(semaphore, BLOCK_THREAD_IDLE); });
    sched::Sleep(sched::kMillisecond);
    Destroy_Semaphore(semaphore);
    EXPECT_EQ(kernel::TakeFaults("while 1 thread(s) wait on it"), 1);
    Signal_Semaphore(semaphore);
    sched::Join(waiter);
    Destroy_Semaphore(semaphore);
}

TEST_F(VmmTest, CreationFailsForANegativeCountOrWithoutPool) {
    EXPECT_EQ(Create_Semaphore(-1), 0u);
    kernel::FailPoolAllocations({.tag = 0x6D655356});  // "VSem"
    EXPECT_EQ(Create_Semaphore(0), 0u);
    kernel::ClearPoolFailures();
}

TEST_F(VmmTest, ASemaphoreNeverDestroyedIsALeakOfTheShutdown) {
    Create_Semaphore(2);
    kernel::UnloadDriver(driver_);
    kernel::ShutdownReport report = kernel::Shutdown();
    ASSERT_EQ(report.leaks.size(), 1u) << report.Text();
    EXPECT_NE(report.leaks[0].find("tag 'VSem'"), std::string::npos) << report.leaks[0];
    EXPECT_NE(report.leaks[0].find("vmm_test.cpp"), std::string::npos) << report.leaks[0];
    EXPECT_TRUE(report.faults.empty());
}

}  // namespace
