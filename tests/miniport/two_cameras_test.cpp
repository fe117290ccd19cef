// Two cameras served at once by two adapters of the same miniport: each adapter's requests reach
// only its own camera and bring back only its own disc's bytes, whatever order the threads run in.
#include <cstdio>
#include <deque>

#include "fixture.h"

namespace mt {
namespace {

// What an adapter is asked for, and the answers it must give.
struct Job {
    PDEVICE_OBJECT adapter;
    std::uint8_t image_seed;
    std::uint32_t lba;          // where its reads start; the written blocks follow them
    std::string model;          // what its INQUIRY names
    Bytes inquiry;              // its first INQUIRY answer
    std::deque<Bytes> buffers;  // a deque: the requests hold pointers into the earlier ones
    std::vector<std::unique_ptr<scsiport::Operation>> ops;

    void Start(std::vector<UCHAR> cdb, Bytes data, ULONG flags) {
        buffers.push_back(std::move(data));
        scsiport::Request r;
        r.cdb = std::move(cdb);
        r.data = buffers.back().empty() ? nullptr : buffers.back().data();
        r.length = static_cast<ULONG>(buffers.back().size());
        r.flags = flags;
        ops.push_back(scsiport::Start(adapter, r));
    }
};

std::vector<UCHAR> Read10(std::uint32_t lba, std::uint16_t blocks, UCHAR opcode = 0x28) {
    return {opcode, 0, UCHAR(lba >> 24), UCHAR(lba >> 16), UCHAR(lba >> 8), UCHAR(lba), 0, UCHAR(blocks >> 8),
            UCHAR(blocks), 0};
}

Bytes Blocks(std::uint32_t lba, std::uint16_t blocks, std::uint8_t seed) {
    Bytes data;
    for (std::uint32_t b = lba; b < lba + blocks; ++b) data.insert(data.end(), 2048, std::uint8_t(b * 7 + seed));
    return data;
}

// Where two byte strings first differ, rather than both of them.
::testing::AssertionResult Same(const Bytes& got, const Bytes& want) {
    if (got == want) return ::testing::AssertionSuccess();
    auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    std::size_t at = static_cast<std::size_t>(g - got.begin());
    return ::testing::AssertionFailure() << "differ at byte " << at << " of " << got.size() << "/" << want.size()
                                         << ": " << (g != got.end() ? int(*g) : -1) << " instead of "
                                         << (w != want.end() ? int(*w) : -1);
}

class TwoCamerasTest : public MiniportTest {
protected:
    void SetUp() override {}
};

TEST_F(TwoCamerasTest, EachAdapterKeepsToItsOwnCameraAndItsOwnData) {
    const int kRounds = 12;
    for (std::uint64_t seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Boot({}, kt::RandomOrder(seed));
        MakeImage(image_, 0x10);
        {
            SecondCamera second(host_.get(), 3, 0x0015, "\\Device\\RERAREV-3", 0x80);
            PDEVICE_OBJECT other = second.StartAdapter();
            ASSERT_NE(other, nullptr);
            ASSERT_TRUE(scsiport::Find(other)->started);
            auto* otherExt = static_cast<PADAPTER_EXTENSION>(scsiport::Find(other)->extension);
            EXPECT_EQ(otherExt->AdapterIndex, 2u);
            EXPECT_EQ(BindingTable[0].Owner, Ext());
            EXPECT_EQ(BindingTable[2].Owner, otherExt);
            EXPECT_NE(otherExt->UrbBuffer, Ext()->UrbBuffer);

            Job jobs[] = {{adapter_, 0x10, 100, "RC-TVQR1", {}, {}, {}},
                          {other, 0x80, 1000, "DVD-RAM TV-QR2", {}, {}, {}}};
            // The first requests of both start the recovery sequence on both cameras at once.
            for (Job& job : jobs) job.Start({0x12, 0, 0, 0, 36, 0}, Bytes(36), SRB_FLAGS_DATA_IN);
            for (Job& job : jobs) {
                EXPECT_EQ(job.ops.back()->Wait().srb_status, SRB_STATUS_SUCCESS);
                job.inquiry = job.buffers.back();
                EXPECT_EQ(std::string(job.inquiry.begin() + 16, job.inquiry.begin() + 16 + job.model.size()),
                          job.model);
            }
            Wire();

            // Both adapters at once: a short answer through the bounce area, a long read in chunks,
            // a write, and the written blocks read back.
            for (int round = 0; round < kRounds; ++round) {
                for (Job& job : jobs) {
                    job.Start({0x12, 0, 0, 0, 36, 0}, Bytes(36), SRB_FLAGS_DATA_IN);
                    job.Start(Read10(job.lba + round, 40), Bytes(40 * 2048), SRB_FLAGS_DATA_IN);
                    job.Start(Read10(job.lba + 200 + round, 2, 0x2A), Blocks(job.lba + 300, 2, job.image_seed),
                              SRB_FLAGS_DATA_OUT);
                }
            }
            for (Job& job : jobs)
                job.Start(Read10(job.lba + 200, kRounds + 1), Bytes((kRounds + 1) * 2048), SRB_FLAGS_DATA_IN);

            for (Job& job : jobs) {
                SCOPED_TRACE("the adapter of the camera at " + std::to_string(job.lba));
                for (std::size_t i = 0; i < job.ops.size(); ++i) {
                    scsiport::Result r = job.ops[i]->Wait();
                    ASSERT_EQ(r.srb_status, SRB_STATUS_SUCCESS) << "request " << i;
                    EXPECT_EQ(r.transferred, job.buffers[i].size()) << "request " << i;
                }
                // The first INQUIRY; then per round INQUIRY, READ, WRITE; then the read-back.
                for (int round = 0; round < kRounds; ++round) {
                    EXPECT_TRUE(Same(job.buffers[1 + round * 3], job.inquiry)) << "INQUIRY of round " << round;
                    EXPECT_TRUE(Same(job.buffers[2 + round * 3], Blocks(job.lba + round, 40, job.image_seed)))
                        << "READ of round " << round;
                }
                // Each write began a block after the one before: blocks 200 on hold the first written
                // block, the last one the second.
                Bytes written;
                for (int b = 0; b < kRounds; ++b) {
                    Bytes block = Blocks(job.lba + 300, 1, job.image_seed);
                    written.insert(written.end(), block.begin(), block.end());
                }
                Bytes last = Blocks(job.lba + 301, 1, job.image_seed);
                written.insert(written.end(), last.begin(), last.end());
                EXPECT_TRUE(Same(job.buffers.back(), written)) << "the written blocks";
            }
            // The first camera saw its own commands only: no block address of the second's.
            int addressed = 0;
            for (const std::string& line : Wire()) {
                unsigned opcode = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0;
                int fields = std::sscanf(line.c_str(), "cmd %x %*x %x %x %x %x", &opcode, &b2, &b3, &b4, &b5);
                if (fields != 5 || (opcode != 0x28 && opcode != 0x2A)) continue;
                EXPECT_LT(b2 << 24 | b3 << 16 | b4 << 8 | b5, 1000u) << line;
                ++addressed;
            }
            EXPECT_EQ(addressed, kRounds * 2 + 1);
            jobs[0].ops.clear();
            jobs[1].ops.clear();
            kernel::WorkQueuesIdle(sched::kSecond);
        }
        TearDown();
        pdo_ = nullptr;
    }
}

// The other adapter keeps the miniport loaded while the first camera is unplugged and plugged in
// again: the new function device is another object at the same name, so its slot is marked replaced
// and the new adapter takes it over, with a request buffer of its own.
TEST_F(TwoCamerasTest, ACameraPluggedInAgainTakesOverItsReplacedSlot) {
    Boot({});
    SecondCamera second(host_.get(), 3, 0x0015, "\\Device\\RERAREV-3", 0x80);
    PDEVICE_OBJECT other = second.StartAdapter();
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_SUCCESS);
    PDEVICE_OBJECT before = BindingTable[0].UsbDeviceObject;
    // Held, so that the new function device cannot be given the old one's address.
    ObReferenceObject(before);
    kernel::WorkQueuesIdle(sched::kSecond);
    host_->Unplug(1);
    ASSERT_EQ(kernel::pnp::DeviceLeft(pdo_), STATUS_SUCCESS);
    kernel::pnp::WaitIdle();
    pdo_ = host_->Plug(1, wire_.get());
    ASSERT_EQ(kernel::pnp::ReportDevice(pdo_), STATUS_SUCCESS);
    kernel::pnp::WaitIdle();
    adapter_ = scsiport::Adapters().back().device;
    ASSERT_NE(adapter_, nullptr);
    ASSERT_NE(adapter_, other);
    EXPECT_NE(BindingTable[0].UsbDeviceObject, before);
    ObDereferenceObject(before);

    EXPECT_EQ(BindingTable[0].Owner, Ext());
    EXPECT_FALSE(BindingTable[0].Replaced) << "taken over";
    EXPECT_EQ(Ext()->AdapterIndex, 0u);
    EXPECT_EQ(Ext()->UsbDeviceObject, BindingTable[0].UsbDeviceObject);
    EXPECT_EQ(Ext()->UrbBuffer, BindingTable[0].UrbBuffer);
    EXPECT_NE(Ext()->UrbBuffer, nullptr);
    Wire();
    EXPECT_EQ(Scsi({0, 0, 0, 0, 0, 0}).srb_status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(Wire().size(), 10u) << "the recovery sequence, then the command and its status";
    scsiport::Request tur;
    tur.cdb = {0, 0, 0, 0, 0, 0};
    EXPECT_EQ(scsiport::Execute(other, tur).srb_status, SRB_STATUS_SUCCESS) << "the other camera is untouched";
    kernel::WorkQueuesIdle(sched::kSecond);
}

}  // namespace
}  // namespace mt
