// The pool and its verifier.
#include "fixture.h"

namespace {

using kt::KernelTest;

constexpr ULONG kWdm = ' mdW';  // shows as "Wdm " in memory order

TEST_F(KernelTest, BlocksAreKnownByTagTypeSizeAndSite) {
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 160, kWdm);
    int line = __LINE__ - 1;
    PVOID b = ExAllocatePoolWithTag(PagedPool, 12, kWdm);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(static_cast<UCHAR*>(a)[0], 0xA5) << "fresh pool is not zeroed";
    std::vector<kernel::PoolBlock> blocks;
    for (const auto& block : kernel::PoolBlocks())
        if (block.tag == kWdm) blocks.push_back(block);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].address, a);
    EXPECT_EQ(blocks[0].type, NonPagedPool);
    EXPECT_EQ(blocks[0].size, 160u);
    EXPECT_EQ(kernel::TagText(blocks[0].tag), "Wdm ");
    EXPECT_EQ(blocks[0].site, "pool_test.cpp:" + std::to_string(line));
    EXPECT_EQ(blocks[1].type, PagedPool);
    ExFreePoolWithTag(a, kWdm);
    std::size_t before = kernel::PoolBlocks().size();
    ExFreePool(b);
    EXPECT_EQ(kernel::PoolBlocks().size(), before - 1);
}

TEST_F(KernelTest, DoubleFreeUnknownFreeAndWrongTagAreReportedAtOnce) {
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
    ExFreePool(a);
    ExFreePool(a);
    EXPECT_EQ(kernel::TakeFaults("a block freed already (allocated at pool_test.cpp:"), 1);
    int not_pool = 0;
    ExFreePool(&not_pool);
    EXPECT_EQ(kernel::TakeFaults("not a pool block"), 1);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
    ExFreePoolWithTag(b, 'xxxx');
    EXPECT_EQ(kernel::TakeFaults("the block has tag 'Wdm '"), 1);
}

TEST_F(KernelTest, PagedAllocationAtDispatchLevelIsAFault) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID p = ExAllocatePoolWithTag(PagedPool, 8, kWdm);
    KeLowerIrql(old);
    EXPECT_EQ(kernel::TakeFaults("paged pool allocation at IRQL 2"), 1);
    ExFreePool(p);
}

TEST_F(KernelTest, ChosenAllocationsFailByCountAndByTag) {
    kernel::FailPoolAllocations({0, 2, 1});  // any tag: the third allocation fails
    PVOID got[4];
    for (PVOID& p : got) p = ExAllocatePoolWithTag(NonPagedPool, 4, kWdm);
    EXPECT_NE(got[0], nullptr);
    EXPECT_NE(got[1], nullptr);
    EXPECT_EQ(got[2], nullptr);
    EXPECT_NE(got[3], nullptr);
    EXPECT_EQ(kernel::PoolFailuresInjected(), 1u);

    kernel::FailPoolAllocations({'abcd', 0, 100});  // every block of one tag, none of another
    PVOID other = ExAllocatePoolWithTag(NonPagedPool, 4, kWdm);
    EXPECT_NE(other, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, 'abcd'), nullptr);
    kernel::ClearPoolFailures();
    PVOID now_fine = ExAllocatePoolWithTag(NonPagedPool, 4, 'abcd');
    EXPECT_NE(now_fine, nullptr);
    for (PVOID p : {got[0], got[1], got[3], other, now_fine}) ExFreePool(p);

    kernel::FailPoolAllocations({' prI', 0, 1});  // the tag "Irp " in memory order
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr) << "IRP allocation can fail too";
    kernel::ClearPoolFailures();
}

TEST_F(KernelTest, ShutdownListsLeakedBlocksWithTheirSite) {
    ExAllocatePoolWithTag(NonPagedPool, 24, kWdm);
    int line = __LINE__ - 1;
    kernel::UnloadDriver(driver_);
    kernel::ShutdownReport report = kernel::Shutdown();
    ASSERT_EQ(report.leaks.size(), 1u) << report.Text();
    EXPECT_NE(report.leaks[0].find("tag 'Wdm ', NonPagedPool, 24 bytes, allocated at pool_test.cpp:" +
                                   std::to_string(line)),
              std::string::npos)
        << report.leaks[0];
}

}  // namespace
