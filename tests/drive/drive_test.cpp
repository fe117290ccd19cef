#include "camera/drive/drive.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using camera::Direction;
using camera::Drive;
using camera::Model;
using camera::Reply;
using camera::SenseCode;
using sched::kSecond;
using Bytes = std::vector<std::uint8_t>;

constexpr SenseCode kGood{0x00, 0x00, 0x00};
constexpr SenseCode kNotReadyFormatting{0x02, 0x04, 0x04};
constexpr SenseCode kNoMedium{0x02, 0x3A, 0x00};
constexpr SenseCode kWriteError{0x03, 0x0C, 0x00};
constexpr SenseCode kReadError{0x03, 0x11, 0x00};
constexpr SenseCode kInvalidOpcode{0x05, 0x20, 0x00};
constexpr SenseCode kOutOfRange{0x05, 0x21, 0x00};
constexpr SenseCode kInvalidField{0x05, 0x24, 0x00};
constexpr SenseCode kInvalidParameter{0x05, 0x26, 0x00};
constexpr SenseCode kSequenceError{0x05, 0x2C, 0x00};
constexpr SenseCode kSavingNotSupported{0x05, 0x39, 0x00};
constexpr SenseCode kRemovalPrevented{0x05, 0x53, 0x02};
constexpr SenseCode kIllegalTrackMode{0x05, 0x64, 0x00};
constexpr SenseCode kMediumChanged{0x06, 0x28, 0x00};
constexpr SenseCode kPowerOn{0x06, 0x29, 0x00};
constexpr SenseCode kDataPhase{0x0B, 0x4B, 0x00};

constexpr std::uint32_t kSmallBlocks = 2048;  // a 4 MiB disc

std::uint16_t Be16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b.at(at) << 8 | b.at(at + 1)); }
std::uint32_t Be32(const Bytes& b, std::size_t at) {
    return std::uint32_t{b.at(at)} << 24 | std::uint32_t{b.at(at + 1)} << 16 | std::uint32_t{b.at(at + 2)} << 8 |
           b.at(at + 3);
}

SenseCode CodeOf(const camera::SenseData& s) {
    return {static_cast<std::uint8_t>(s[2] & 0x0F), s[12], s[13]};
}

std::string Show(const SenseCode& c) {
    char text[16];
    std::snprintf(text, sizeof(text), "%02X/%02X/%02X", c.key, c.asc, c.ascq);
    return text;
}

// A command block from its leading bytes, zero-padded to the length of its opcode group.
Bytes Cdb(std::initializer_list<int> head) {
    Bytes cdb;
    for (int b : head) {
        cdb.push_back(static_cast<std::uint8_t>(b));
    }
    std::size_t length = cdb[0] < 0x20 ? 6 : cdb[0] < 0x60 ? 10 : 12;
    cdb.resize(length);
    return cdb;
}

Bytes Rw10(int opcode, std::uint32_t lba, std::uint16_t blocks) {
    return Cdb({opcode, 0, int(lba >> 24), int(lba >> 16 & 0xFF), int(lba >> 8 & 0xFF), int(lba & 0xFF), 0,
                blocks >> 8, blocks & 0xFF});
}

Bytes Rw12(int opcode, std::uint32_t lba, std::uint32_t blocks) {
    return Cdb({opcode, 0, int(lba >> 24), int(lba >> 16 & 0xFF), int(lba >> 8 & 0xFF), int(lba & 0xFF),
                int(blocks >> 24), int(blocks >> 16 & 0xFF), int(blocks >> 8 & 0xFF), int(blocks & 0xFF)});
}

Reply Send(Drive& drive, const Bytes& cdb) { return drive.Command(cdb.data(), cdb.size()); }

// A command with a data-out stage, start to finish; the status of the whole command.
bool SendOut(Drive& drive, const Bytes& cdb, const Bytes& data) {
    Reply reply = Send(drive, cdb);
    if (reply.check_condition) {
        return false;
    }
    EXPECT_EQ(reply.direction, Direction::Out);
    EXPECT_EQ(reply.out_length, data.size());
    return drive.DataOut(data.data(), data.size());
}

Bytes Pattern(std::uint32_t lba, std::uint32_t blocks) {
    Bytes data(std::size_t{blocks} * camera::kBlockSize);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>((lba + i / camera::kBlockSize) * 131 + i * 7 + 1);
    }
    return data;
}

Bytes FormatList(std::uint8_t flags, std::uint32_t blocks, std::uint8_t type = 0x00) {
    return {0, flags, 0, 8, std::uint8_t(blocks >> 24), std::uint8_t(blocks >> 16), std::uint8_t(blocks >> 8),
            std::uint8_t(blocks), type, 0x00, 0x08, 0x00};
}
const Bytes kFormatUnit = Cdb({0x04, 0x11});
constexpr std::uint8_t kFullFormat = 0x00;
constexpr std::uint8_t kQuickFormat = 0x80 | 0x20;  // FOV, DCRT

class DriveTest : public testing::Test {
protected:
    void SetUp() override {
        std::string base = testing::TempDir() + "drive_test.XXXXXX";
        ASSERT_NE(mkdtemp(base.data()), nullptr);
        dir_ = base;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A sparse image of `bytes`.
    std::string Image(const std::string& name, std::uint64_t bytes) {
        std::string path = dir_ + "/" + name;
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, static_cast<off_t>(bytes)), 0);
        close(fd);
        return path;
    }

    // A drive past its power-on unit attention, with no sense pending.
    std::unique_ptr<Drive> ReadyDrive(const std::string& image, Model model = Model::RcTvqr1) {
        auto drive = std::make_unique<Drive>(camera::DriveOptions{model, image});
        Reply r = Send(*drive, Cdb({0x00}));
        EXPECT_TRUE(r.check_condition);
        EXPECT_EQ(CodeOf(drive->Sense()), kPowerOn);
        Reply sense = Send(*drive, Cdb({0x03, 0, 0, 0, 18}));
        EXPECT_EQ(sense.data.at(12), 0x29);
        EXPECT_EQ(CodeOf(drive->Sense()), kGood);
        return drive;
    }

    sched::Scheduler scheduler_;
    std::string dir_;
};

// ---- the command set, case by case --------------------------------------------------------------

struct Case {
    const char* name;
    Bytes cdb;
    bool disc;
    Direction direction;
    std::size_t length;  // In: bytes sent; Out: bytes expected
    SenseCode sense;     // kGood: no CHECK CONDITION
    std::function<void(const Bytes&)> check;
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.name; }

const Case kCases[] = {
    {"TestUnitReady", Cdb({0x00}), true, Direction::None, 0, kGood, nullptr},
    {"TestUnitReadyNoDisc", Cdb({0x00}), false, Direction::None, 0, kNoMedium, nullptr},
    {"RezeroUnit", Cdb({0x01}), true, Direction::None, 0, kGood, nullptr},
    {"RequestSenseNothingPending", Cdb({0x03, 0, 0, 0, 252}), true, Direction::In, 18, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(d[0], 0x70);
         EXPECT_EQ(d[7], 10);
         EXPECT_EQ(d[2] & 0x0F, 0);
     }},
    {"RequestSenseAllocationZero", Cdb({0x03, 0, 0, 0, 0}), true, Direction::None, 0, kGood, nullptr},
    {"InquiryStandard", Cdb({0x12, 0, 0, 0, 96}), false, Direction::In, 36, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(d[0], 0x05);
         EXPECT_EQ(d[1], 0x80);
         EXPECT_EQ(d[3] & 0x0F, 2);
         EXPECT_EQ(d[4], 31);
         EXPECT_EQ(std::string(d.begin() + 8, d.begin() + 16), "KESTREL ");
         EXPECT_EQ(std::string(d.begin() + 16, d.begin() + 32), "RC-TVQR1        ");
     }},
    {"InquiryShortAllocation", Cdb({0x12, 0, 0, 0, 5}), true, Direction::In, 5, kGood, nullptr},
    {"InquirySupportedPages", Cdb({0x12, 1, 0x00, 0, 255}), true, Direction::In, 6, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(d[1], 0x00);
         EXPECT_EQ(Be16(d, 2), 2);
         EXPECT_EQ(d[4], 0x00);
         EXPECT_EQ(d[5], 0x80);
     }},
    {"InquirySerialNumber", Cdb({0x12, 1, 0x80, 0, 255}), true, Direction::In, 16, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(d[1], 0x80);
         EXPECT_EQ(Be16(d, 2), 12);
         EXPECT_EQ(std::string(d.begin() + 4, d.end()), "KRC1A0041207");
     }},
    {"InquiryUnknownPage", Cdb({0x12, 1, 0x83, 0, 255}), true, Direction::None, 0, kInvalidField, nullptr},
    {"InquiryPageWithoutEvpd", Cdb({0x12, 0, 0x80, 0, 255}), true, Direction::None, 0, kInvalidField, nullptr},
    {"ModeSense6ErrorRecovery", Cdb({0x1A, 0, 0x01, 0, 255}), true, Direction::In, 16, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(d[0], 15);
         EXPECT_EQ(d[3], 0);
         EXPECT_EQ(d[4], 0x01);
         EXPECT_EQ(d[5], 0x0A);
         EXPECT_EQ(d[6], 0xC0);
         EXPECT_EQ(d[7], 16);
     }},
    {"ModeSense10Capabilities", Cdb({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 255}), false, Direction::In, 44, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(Be16(d, 0), 42);
         EXPECT_EQ(d[8], 0x2A);
         EXPECT_EQ(d[9], 0x22);
         EXPECT_TRUE(d[10] & 0x20) << "reads DVD-RAM";
         EXPECT_TRUE(d[11] & 0x20) << "writes DVD-RAM";
         EXPECT_EQ(d[14] & 0x02, 0) << "not locked";
         EXPECT_EQ(Be16(d, 8 + 8), 2770);
     }},
    {"ModeSense10AllPages", Cdb({0x5A, 0, 0x3F, 0, 0, 0, 0, 0, 255}), true, Direction::In, 56, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(d[8], 0x01);
         EXPECT_EQ(d[20], 0x2A);
     }},
    {"ModeSense10Changeable", Cdb({0x5A, 0, 0x41, 0, 0, 0, 0, 0, 255}), true, Direction::In, 20, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(d[10], 0xC4);
         EXPECT_EQ(d[11], 0xFF);
         EXPECT_EQ(d[18], 0);
     }},
    {"ModeSenseUnknownPage", Cdb({0x1A, 0, 0x05, 0, 255}), true, Direction::None, 0, kInvalidField, nullptr},
    {"ModeSenseSavedValues", Cdb({0x5A, 0, 0xC1, 0, 0, 0, 0, 0, 255}), true, Direction::None, 0,
     kSavingNotSupported, nullptr},
    {"ModeSelectWithoutPageFormat", Cdb({0x15, 0x00, 0, 0, 16}), true, Direction::None, 0, kInvalidField, nullptr},
    {"ModeSelectSave", Cdb({0x55, 0x11, 0, 0, 0, 0, 0, 0, 20}), true, Direction::None, 0, kInvalidField, nullptr},
    {"ModeSelectEmptyList", Cdb({0x55, 0x10}), true, Direction::None, 0, kGood, nullptr},
    {"ModeSelectOut", Cdb({0x15, 0x10, 0, 0, 16}), true, Direction::Out, 16, kGood, nullptr},
    {"StopUnit", Cdb({0x1B, 0, 0, 0, 0x00}), true, Direction::None, 0, kGood, nullptr},
    {"StartUnitNoDisc", Cdb({0x1B, 0, 0, 0, 0x01}), false, Direction::None, 0, kNoMedium, nullptr},
    {"SendDiagnosticSelfTest", Cdb({0x1D, 0x04}), true, Direction::None, 0, kGood, nullptr},
    {"SendDiagnosticPage", Cdb({0x1D, 0x10, 0, 0, 8}), true, Direction::None, 0, kInvalidField, nullptr},
    {"PreventAllowAllow", Cdb({0x1E, 0, 0, 0, 0}), true, Direction::None, 0, kGood, nullptr},
    {"ReadFormatCapacities", Cdb({0x23, 0, 0, 0, 0, 0, 0, 0, 252}), true, Direction::In, 20, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(d[3], 16);
         EXPECT_EQ(Be32(d, 4), kSmallBlocks);
         EXPECT_EQ(d[8] & 0x03, 2) << "formatted";
         EXPECT_EQ(Be32(d, 8) & 0xFFFFFF, 2048u);
         EXPECT_EQ(Be32(d, 12), kSmallBlocks);
         EXPECT_EQ(d[16] >> 2, 0) << "full format";
     }},
    {"ReadFormatCapacitiesNoDisc", Cdb({0x23, 0, 0, 0, 0, 0, 0, 0, 252}), false, Direction::In, 12, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(d[3], 8);
         EXPECT_EQ(d[8] & 0x03, 3) << "no medium";
     }},
    {"ReadCapacity", Cdb({0x25}), true, Direction::In, 8, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(Be32(d, 0), kSmallBlocks - 1);
         EXPECT_EQ(Be32(d, 4), 2048u);
     }},
    {"ReadCapacityLbaWithoutPmi", Cdb({0x25, 0, 0, 0, 0, 5}), true, Direction::None, 0, kInvalidField, nullptr},
    {"ReadCapacityNoDisc", Cdb({0x25}), false, Direction::None, 0, kNoMedium, nullptr},
    {"Read10", Rw10(0x28, 0, 2), true, Direction::In, 4096, kGood, nullptr},
    {"Read10NoDisc", Rw10(0x28, 0, 1), false, Direction::None, 0, kNoMedium, nullptr},
    {"Read10Nothing", Rw10(0x28, 5, 0), true, Direction::None, 0, kGood, nullptr},
    {"Read10PastEnd", Rw10(0x28, kSmallBlocks - 1, 2), true, Direction::None, 0, kOutOfRange, nullptr},
    {"Read10AtEndNothing", Rw10(0x28, kSmallBlocks, 0), true, Direction::None, 0, kOutOfRange, nullptr},
    {"Read10LastBlock", Rw10(0x28, kSmallBlocks - 1, 1), true, Direction::In, 2048, kGood, nullptr},
    {"Read12", Rw12(0xA8, 3, 3), true, Direction::In, 6144, kGood, nullptr},
    {"Read12WrappingLba", Rw12(0xA8, 0xFFFFFFFF, 2), true, Direction::None, 0, kOutOfRange, nullptr},
    {"Write10", Rw10(0x2A, 0, 2), true, Direction::Out, 4096, kGood, nullptr},
    {"Write10Nothing", Rw10(0x2A, 0, 0), true, Direction::None, 0, kGood, nullptr},
    {"Write10PastEnd", Rw10(0x2A, kSmallBlocks - 1, 2), true, Direction::None, 0, kOutOfRange, nullptr},
    {"Write12", Rw12(0xAA, 7, 1), true, Direction::Out, 2048, kGood, nullptr},
    {"WriteAndVerify10", Rw10(0x2E, 9, 1), true, Direction::Out, 2048, kGood, nullptr},
    {"WriteAndVerify12", Rw12(0xAE, 9, 2), true, Direction::Out, 4096, kGood, nullptr},
    {"Seek10", Rw10(0x2B, kSmallBlocks - 1, 0), true, Direction::None, 0, kGood, nullptr},
    {"Seek10PastEnd", Rw10(0x2B, kSmallBlocks, 0), true, Direction::None, 0, kOutOfRange, nullptr},
    {"Verify10", Rw10(0x2F, 0, 16), true, Direction::None, 0, kGood, nullptr},
    {"Verify10PastEnd", Rw10(0x2F, kSmallBlocks - 8, 16), true, Direction::None, 0, kOutOfRange, nullptr},
    {"Verify10ByteCheck", Cdb({0x2F, 0x02, 0, 0, 0, 0, 0, 0, 1}), true, Direction::None, 0, kInvalidField, nullptr},
    {"Verify12", Rw12(0xAF, 100, 100), true, Direction::None, 0, kGood, nullptr},
    {"SynchronizeCache", Cdb({0x35}), true, Direction::None, 0, kGood, nullptr},
    {"SynchronizeCachePastEnd", Rw10(0x35, kSmallBlocks, 0), true, Direction::None, 0, kOutOfRange, nullptr},
    {"WriteBufferData", Cdb({0x3B, 0x02, 0, 0, 0, 0, 0, 0, 16}), false, Direction::Out, 16, kGood, nullptr},
    {"WriteBufferMicrocode", Cdb({0x3B, 0x05, 0, 0, 0, 0, 0, 0, 16}), true, Direction::None, 0, kInvalidField,
     nullptr},
    {"WriteBufferPastEnd", Cdb({0x3B, 0x02, 0, 0x1F, 0xFF, 0xFF, 0, 0, 2}), true, Direction::None, 0,
     kInvalidField, nullptr},
    {"ReadBufferDescriptor", Cdb({0x3C, 0x03, 0, 0, 0, 0, 0, 0, 4}), true, Direction::In, 4, kGood,
     [](const Bytes& d) { EXPECT_EQ(Be32(d, 0) & 0xFFFFFF, 2u * 1024 * 1024); }},
    {"ReadBufferData", Cdb({0x3C, 0x02, 0, 0, 0, 0, 0, 0, 64}), true, Direction::In, 64, kGood, nullptr},
    {"ReadBufferOtherId", Cdb({0x3C, 0x02, 1, 0, 0, 0, 0, 0, 64}), true, Direction::None, 0, kInvalidField,
     nullptr},
    {"ReadTocLba", Cdb({0x43, 0, 0, 0, 0, 0, 0, 0, 100}), true, Direction::In, 20, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(Be16(d, 0), 18);
         EXPECT_EQ(d[2], 1);
         EXPECT_EQ(d[3], 1);
         EXPECT_EQ(d[5], 0x14);
         EXPECT_EQ(d[6], 1);
         EXPECT_EQ(Be32(d, 8), 0u);
         EXPECT_EQ(d[14], 0xAA);
         EXPECT_EQ(Be32(d, 16), kSmallBlocks);
     }},
    {"ReadTocMsf", Cdb({0x43, 0x02, 0, 0, 0, 0, 0, 0, 100}), true, Direction::In, 20, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(Be32(d, 8), 0x00000200u) << "track 1 at 00:02:00";
         EXPECT_EQ(Be32(d, 16), 0x00001D17u) << "2048 + 150 frames = 00:29:23";
     }},
    {"ReadTocLeadOutOnly", Cdb({0x43, 0, 0, 0, 0, 0, 0xAA, 0, 100}), true, Direction::In, 12, kGood, nullptr},
    {"ReadTocBadTrack", Cdb({0x43, 0, 0, 0, 0, 0, 2, 0, 100}), true, Direction::None, 0, kInvalidField, nullptr},
    {"ReadTocSessionInfo", Cdb({0x43, 0, 1, 0, 0, 0, 0, 0, 100}), true, Direction::In, 12, kGood, nullptr},
    {"ReadTocFullToc", Cdb({0x43, 0, 2, 0, 0, 0, 0, 0, 100}), true, Direction::None, 0, kInvalidField, nullptr},
    {"ReadTocNoDisc", Cdb({0x43, 0, 0, 0, 0, 0, 0, 0, 100}), false, Direction::None, 0, kNoMedium, nullptr},
    {"GetConfigurationHeader", Cdb({0x46, 0, 0, 0, 0, 0, 0, 0, 8}), true, Direction::In, 8, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(Be16(d, 6), 0x0012);
         EXPECT_GT(Be32(d, 0), 4u);
     }},
    {"GetConfigurationOneFeature", Cdb({0x46, 2, 0x00, 0x20, 0, 0, 0, 0, 255}), true, Direction::In, 24, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(Be32(d, 0), 20u);
         EXPECT_EQ(Be16(d, 8), 0x0020);
         EXPECT_EQ(d[10] & 0x01, 1) << "current";
         EXPECT_EQ(d[11], 12);
         EXPECT_EQ(Be32(d, 12), kSmallBlocks - 1);
         EXPECT_EQ(Be32(d, 16), 2048u);
     }},
    {"GetConfigurationMissingFeature", Cdb({0x46, 2, 0x00, 0x2D, 0, 0, 0, 0, 255}), true, Direction::In, 8, kGood,
     nullptr},
    {"GetConfigurationReservedRt", Cdb({0x46, 3, 0, 0, 0, 0, 0, 0, 255}), true, Direction::None, 0, kInvalidField,
     nullptr},
    {"GetConfigurationNoDisc", Cdb({0x46, 0, 0, 0, 0, 0, 0, 0, 8}), false, Direction::In, 8, kGood,
     [](const Bytes& d) { EXPECT_EQ(Be16(d, 6), 0x0000); }},
    {"EventStatusMedia", Cdb({0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8}), true, Direction::In, 8, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(Be16(d, 0), 6);
         EXPECT_EQ(d[2], 4);
         EXPECT_EQ(d[3], 0x10);
         EXPECT_EQ(d[5] & 0x02, 0x02) << "media present";
     }},
    {"EventStatusOtherClass", Cdb({0x4A, 1, 0, 0, 0x02, 0, 0, 0, 8}), true, Direction::In, 4, kGood,
     [](const Bytes& d) { EXPECT_EQ(d[2], 0x80) << "no event available"; }},
    {"EventStatusAsynchronous", Cdb({0x4A, 0, 0, 0, 0x10, 0, 0, 0, 8}), true, Direction::None, 0, kInvalidField,
     nullptr},
    {"ReadDiscInformation", Cdb({0x51, 0, 0, 0, 0, 0, 0, 0, 34}), true, Direction::In, 34, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(Be16(d, 0), 32);
         EXPECT_EQ(d[2], 0x1F) << "erasable, complete, random writable";
         EXPECT_EQ(d[3], 1);
         EXPECT_EQ(d[4], 1);
     }},
    {"ReadDiscInformationOtherType", Cdb({0x51, 1, 0, 0, 0, 0, 0, 0, 34}), true, Direction::None, 0, kInvalidField,
     nullptr},
    {"ReadTrackInformation", Cdb({0x52, 1, 0, 0, 0, 1, 0, 0, 48}), true, Direction::In, 48, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(Be16(d, 0), 46);
         EXPECT_EQ(d[2], 1);
         EXPECT_EQ(Be32(d, 8), 0u);
         EXPECT_EQ(Be32(d, 20), 16u);
         EXPECT_EQ(Be32(d, 24), kSmallBlocks);
     }},
    {"ReadTrackInformationByLba", Cdb({0x52, 0, 0, 0, 0x07, 0xFF, 0, 0, 48}), true, Direction::In, 48, kGood, nullptr},
    {"ReadTrackInformationNoTrack2", Cdb({0x52, 1, 0, 0, 0, 2, 0, 0, 48}), true, Direction::None, 0, kInvalidField,
     nullptr},
    {"ReserveTrack", Cdb({0x53, 0, 0, 0, 0, 0, 0, 0, 16}), true, Direction::None, 0, kIllegalTrackMode, nullptr},
    {"CloseSession", Cdb({0x5B, 0, 2}), true, Direction::None, 0, kGood, nullptr},
    {"CloseTrack1", Cdb({0x5B, 0, 1, 0, 0, 1}), true, Direction::None, 0, kGood, nullptr},
    {"CloseReservedFunction", Cdb({0x5B, 0, 0}), true, Direction::None, 0, kInvalidField, nullptr},
    {"SendKeyInvalidateAgid", Cdb({0xA3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x3F}), true, Direction::None, 0, kGood, nullptr},
    {"SendKeyChallenge", Cdb({0xA3, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0x01}), true, Direction::None, 0, kInvalidField,
     nullptr},
    {"ReportKeyRpcState", Cdb({0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0x08}), false, Direction::In, 8, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(Be16(d, 0), 6);
         EXPECT_EQ(d[5], 0xFF) << "no region";
         EXPECT_EQ(d[6], 0x00) << "regions not enforced";
     }},
    {"ReportKeyAgid", Cdb({0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0x00}), true, Direction::None, 0, kInvalidField, nullptr},
    {"GetPerformance", Cdb({0xAC, 0x10, 0, 0, 0, 0, 0, 0, 0, 1, 0x00}), true, Direction::In, 24, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(Be32(d, 0), 20u);
         EXPECT_EQ(Be32(d, 12), 2770u);
         EXPECT_EQ(Be32(d, 16), kSmallBlocks - 1);
     }},
    {"GetPerformanceNoDescriptors", Cdb({0xAC, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}), true, Direction::In, 8, kGood,
     nullptr},
    {"GetPerformanceWriteSpeed", Cdb({0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0x03}), true, Direction::In, 24, kGood,
     [](const Bytes& d) { EXPECT_EQ(Be32(d, 20), 2770u); }},
    {"GetPerformanceBadTolerance", Cdb({0xAC, 0x00, 0, 0, 0, 0, 0, 0, 0, 1, 0x00}), true, Direction::None, 0,
     kInvalidField, nullptr},
    {"GetPerformanceUnusableArea", Cdb({0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x01}), true, Direction::None, 0,
     kInvalidField, nullptr},
    {"ReadDvdStructurePhysical", Cdb({0xAD, 0, 0, 0, 0, 0, 0, 0x00, 0x08, 0x04}), true, Direction::In, 2052, kGood,
     [](const Bytes& d) {
         EXPECT_EQ(Be16(d, 0), 2050);
         EXPECT_EQ(d[4] >> 4, 1) << "DVD-RAM";
         EXPECT_EQ(d[5] >> 4, 1) << "80 mm";
         EXPECT_EQ(d[6] & 0x0F, 0x04) << "rewritable layer";
         EXPECT_EQ(Be32(d, 8), 0x031000u);
         EXPECT_EQ(Be32(d, 12), 0x031000u + kSmallBlocks - 1);
     }},
    {"ReadDvdStructureCopyright", Cdb({0xAD, 0, 0, 0, 0, 0, 0, 0x01, 0, 8}), true, Direction::In, 8, kGood,
     [](const Bytes& d) { EXPECT_EQ(d[4], 0) << "not protected"; }},
    {"ReadDvdStructureList", Cdb({0xAD, 0, 0, 0, 0, 0, 0, 0xFF, 0, 100}), true, Direction::In, 16, kGood, nullptr},
    {"ReadDvdStructureOther", Cdb({0xAD, 0, 0, 0, 0, 0, 0, 0x04, 0, 100}), true, Direction::None, 0, kInvalidField,
     nullptr},
    {"ReadDvdStructureSecondLayer", Cdb({0xAD, 0, 0, 0, 0, 0, 1, 0x00, 0, 100}), true, Direction::None, 0,
     kInvalidField, nullptr},
    {"ReadDiscStructureBluRay", Cdb({0xAD, 1, 0, 0, 0, 0, 0, 0x00, 0, 100}), true, Direction::None, 0, kInvalidField,
     nullptr},
    {"MechanismStatus", Cdb({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 8}), false, Direction::In, 8, kGood, nullptr},
    {"FormatUnitWithoutList", Cdb({0x04, 0x01}), true, Direction::None, 0, kInvalidField, nullptr},
    {"FormatUnitOut", Cdb({0x04, 0x11}), true, Direction::Out, 12, kGood, nullptr},
    {"UnknownOpcode08", Cdb({0x08}), true, Direction::None, 0, kInvalidOpcode, nullptr},
    {"UnknownOpcodeReadSubChannel", Cdb({0x42}), true, Direction::None, 0, kInvalidOpcode, nullptr},
    {"UnknownOpcodeReadCd", Cdb({0xBE}), true, Direction::None, 0, kInvalidOpcode, nullptr},
    {"UnknownOpcodeFF", Cdb({0xFF}), false, Direction::None, 0, kInvalidOpcode, nullptr},
};

class DriveCommand : public DriveTest, public testing::WithParamInterface<Case> {};

TEST_P(DriveCommand, Answers) {
    const Case& c = GetParam();
    auto drive = ReadyDrive(c.disc ? Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize) : "");
    Reply reply = Send(*drive, c.cdb);
    EXPECT_EQ(reply.check_condition, c.sense != kGood);
    EXPECT_EQ(Show(CodeOf(drive->Sense())), Show(c.sense));
    EXPECT_EQ(reply.direction, c.direction);
    if (c.direction == Direction::In) {
        ASSERT_EQ(reply.data.size(), c.length);
    } else {
        EXPECT_TRUE(reply.data.empty());
    }
    if (c.direction == Direction::Out) {
        EXPECT_EQ(reply.out_length, c.length);
    }
    if (c.check) {
        c.check(reply.data);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, DriveCommand, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// ---- data ---------------------------------------------------------------------------------------

TEST_F(DriveTest, WhatIsWrittenReadsBackAtEveryPlace) {
    constexpr std::uint32_t kBlocks = 4096;  // 8 MiB
    std::string path = Image("disc.img", std::uint64_t{kBlocks} * camera::kBlockSize);
    auto drive = ReadyDrive(path);
    struct Extent {
        std::uint32_t lba;
        std::uint32_t blocks;
        bool twelve;
    };
    // First block, across the 64 KiB boundary (32 blocks), a 1 MiB run, the last block.
    const Extent extents[] = {{0, 1, false}, {30, 4, true}, {100, 512, false}, {kBlocks - 1, 1, true}};
    for (const Extent& e : extents) {
        Bytes cdb = e.twelve ? Rw12(0xAA, e.lba, e.blocks) : Rw10(0x2A, e.lba, static_cast<std::uint16_t>(e.blocks));
        ASSERT_TRUE(SendOut(*drive, cdb, Pattern(e.lba, e.blocks))) << Show(CodeOf(drive->Sense()));
    }
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (const Extent& e : extents) {
        Reply r = Send(*drive, e.twelve ? Rw10(0x28, e.lba, static_cast<std::uint16_t>(e.blocks))
                                       : Rw12(0xA8, e.lba, e.blocks));
        ASSERT_FALSE(r.check_condition);
        EXPECT_EQ(r.data, Pattern(e.lba, e.blocks)) << "LBA " << e.lba;
        // The image holds the blocks where other parts of the system look for them.
        Bytes raw(std::size_t{e.blocks} * camera::kBlockSize);
        off_t offset = static_cast<off_t>(e.lba) * camera::kBlockSize;
        ASSERT_EQ(pread(fd, raw.data(), raw.size(), offset), static_cast<ssize_t>(raw.size()));
        EXPECT_EQ(raw, r.data);
    }
    close(fd);
    // Neighbours stay unwritten.
    for (std::uint32_t lba : {1u, 29u, 34u, 99u, 612u, kBlocks - 2}) {
        Reply r = Send(*drive, Rw10(0x28, lba, 1));
        EXPECT_EQ(r.data, Bytes(camera::kBlockSize, 0)) << "LBA " << lba;
    }
    // WRITE AND VERIFY writes too; MECHANISM STATUS shows where the head went last.
    ASSERT_TRUE(SendOut(*drive, Rw10(0x2E, 200, 2), Pattern(7, 2)));
    EXPECT_EQ(Send(*drive, Rw10(0x28, 200, 2)).data, Pattern(7, 2));
    Reply mech = Send(*drive, Cdb({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 8}));
    EXPECT_EQ(Be32(mech.data, 1) & 0xFFFFFF, 201u);
}

TEST_F(DriveTest, OutOfRangeWritesMoveNoData) {
    std::string path = Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize);
    auto drive = ReadyDrive(path);
    Reply r = Send(*drive, Rw12(0xAA, kSmallBlocks - 1, 2));
    EXPECT_TRUE(r.check_condition);
    EXPECT_EQ(r.direction, Direction::None);
    EXPECT_EQ(CodeOf(drive->Sense()), kOutOfRange);
    Bytes block(camera::kBlockSize, 0x5A);
    EXPECT_FALSE(drive->DataOut(block.data(), block.size())) << "no write is pending";
    EXPECT_EQ(CodeOf(drive->Sense()), kSequenceError);
    EXPECT_EQ(Send(*drive, Rw10(0x28, kSmallBlocks - 1, 1)).data, Bytes(camera::kBlockSize, 0));
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(kSmallBlocks) * camera::kBlockSize) << "the image did not grow";
    // More than the drive moves in one command.
    EXPECT_TRUE(Send(*drive, Rw12(0xA8, 0, 0x10000)).check_condition);
}

TEST_F(DriveTest, ShortDataStageAbortsTheWrite) {
    auto drive = ReadyDrive(Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize));
    Reply r = Send(*drive, Rw10(0x2A, 4, 2));
    ASSERT_EQ(r.out_length, 4096u);
    Bytes half = Pattern(4, 1);
    EXPECT_FALSE(drive->DataOut(half.data(), half.size()));
    EXPECT_EQ(CodeOf(drive->Sense()), kDataPhase);
    EXPECT_EQ(Send(*drive, Rw10(0x28, 4, 1)).data, Bytes(camera::kBlockSize, 0));
}

TEST_F(DriveTest, ShortCommandBlockIsAnInvalidField) {
    auto drive = ReadyDrive(Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize));
    Bytes cdb = Rw10(0x28, 0, 1);
    EXPECT_TRUE(drive->Command(cdb.data(), 6).check_condition);
    EXPECT_EQ(CodeOf(drive->Sense()), kInvalidField);
    EXPECT_TRUE(drive->Command(cdb.data(), 0).check_condition);
    EXPECT_EQ(CodeOf(drive->Sense()), kInvalidOpcode);
}

TEST_F(DriveTest, ReadErrorNamesTheBlock) {
    std::string path = Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize);
    auto drive = ReadyDrive(path);
    // The medium loses its second half under the drive.
    ASSERT_EQ(truncate(path.c_str(), 1024 * camera::kBlockSize), 0);
    EXPECT_FALSE(Send(*drive, Rw10(0x28, 1000, 24)).check_condition);
    Reply r = Send(*drive, Rw10(0x28, 1020, 8));
    EXPECT_TRUE(r.check_condition);
    camera::SenseData sense = drive->Sense();
    EXPECT_EQ(CodeOf(sense), kReadError);
    EXPECT_EQ(sense[0], 0xF0) << "information field valid";
    EXPECT_EQ(Be32(Bytes(sense.begin(), sense.end()), 3), 1024u);
}

TEST_F(DriveTest, WriteErrorWhenTheImageTakesNoMore) {
    std::string path = Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize);
    auto drive = ReadyDrive(path);
    // The host system refuses writes past 1 MiB into any file.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1024 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool low = SendOut(*drive, Rw10(0x2A, 10, 1), Pattern(10, 1));
    bool high = SendOut(*drive, Rw10(0x2A, 1000, 1), Pattern(1000, 1));
    camera::SenseData sense = drive->Sense();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    EXPECT_TRUE(low);
    EXPECT_FALSE(high);
    EXPECT_EQ(CodeOf(sense), kWriteError);
    EXPECT_EQ(Be32(Bytes(sense.begin(), sense.end()), 3), 1000u);
}

// ---- medium -------------------------------------------------------------------------------------

TEST_F(DriveTest, InsertedDiscIsAnnouncedOnceThenReady) {
    std::string path = Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize);
    auto drive = ReadyDrive("");
    EXPECT_TRUE(Send(*drive, Cdb({0x00})).check_condition);
    EXPECT_EQ(CodeOf(drive->Sense()), kNoMedium);
    EXPECT_FALSE(drive->InsertDisc(dir_ + "/missing.img"));
    EXPECT_FALSE(drive->HasDisc());
    ASSERT_TRUE(drive->InsertDisc(path));
    EXPECT_FALSE(drive->InsertDisc(path)) << "the slot is taken";
    EXPECT_EQ(drive->CapacityBlocks(), kSmallBlocks);

    // These answer through a unit attention and leave it pending.
    EXPECT_FALSE(Send(*drive, Cdb({0x12, 0, 0, 0, 36})).check_condition);
    Reply config = Send(*drive, Cdb({0x46, 0, 0, 0, 0, 0, 0, 0, 8}));
    EXPECT_FALSE(config.check_condition);
    EXPECT_EQ(Be16(config.data, 6), 0x0012);
    // A header-only poll does not take the event away.
    Reply event = Send(*drive, Cdb({0x4A, 1, 0, 0, 0x10, 0, 0, 0, 4}));
    ASSERT_EQ(event.data.size(), 4u);
    EXPECT_EQ(Be16(event.data, 0), 6);
    event = Send(*drive, Cdb({0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8}));
    EXPECT_FALSE(event.check_condition);
    EXPECT_EQ(event.data[4] & 0x0F, 2) << "new media";
    EXPECT_EQ(event.data[5] & 0x02, 0x02);
    EXPECT_EQ(CodeOf(drive->Sense()), kMediumChanged);

    // The first command it blocks reports it, once.
    Reply r = Send(*drive, Rw10(0x28, 0, 1));
    EXPECT_TRUE(r.check_condition);
    EXPECT_EQ(CodeOf(drive->Sense()), kMediumChanged);
    EXPECT_FALSE(Send(*drive, Rw10(0x28, 0, 1)).check_condition);
    EXPECT_FALSE(Send(*drive, Cdb({0x00})).check_condition);
    event = Send(*drive, Cdb({0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8}));
    EXPECT_EQ(event.data[4] & 0x0F, 0) << "the event was delivered before";
}

TEST_F(DriveTest, RequestSenseConsumesAUnitAttention) {
    auto drive = ReadyDrive("");
    ASSERT_TRUE(drive->InsertDisc(Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize)));
    Reply sense = Send(*drive, Cdb({0x03, 0, 0, 0, 18}));
    ASSERT_EQ(sense.data.size(), 18u);
    EXPECT_EQ(sense.data[2] & 0x0F, 0x06);
    EXPECT_EQ(sense.data[12], 0x28);
    EXPECT_FALSE(Send(*drive, Cdb({0x00})).check_condition);
}

TEST_F(DriveTest, EjectIsRefusedWhilePrevented) {
    auto drive = ReadyDrive(Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize));
    Bytes events = Cdb({0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8});
    Send(*drive, events);  // the power-on New Media event
    const Bytes eject = Cdb({0x1B, 0, 0, 0, 0x02});
    const Bytes capabilities = Cdb({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 255});

    ASSERT_FALSE(Send(*drive, Cdb({0x1E, 0, 0, 0, 1})).check_condition);
    EXPECT_EQ(Send(*drive, capabilities).data[14] & 0x03, 0x03) << "lock supported, locked";
    EXPECT_TRUE(Send(*drive, eject).check_condition);
    EXPECT_EQ(CodeOf(drive->Sense()), kRemovalPrevented);
    EXPECT_FALSE(drive->EjectDisc()) << "the button is locked too";
    EXPECT_EQ(Send(*drive, events).data[4] & 0x0F, 1) << "eject request";
    EXPECT_FALSE(Send(*drive, Cdb({0x00})).check_condition) << "the disc is still in";

    ASSERT_FALSE(Send(*drive, Cdb({0x1E, 0, 0, 0, 0})).check_condition);
    EXPECT_EQ(Send(*drive, capabilities).data[14] & 0x03, 0x01);
    EXPECT_FALSE(Send(*drive, eject).check_condition);
    EXPECT_FALSE(drive->HasDisc());
    EXPECT_TRUE(Send(*drive, Cdb({0x00})).check_condition);
    EXPECT_EQ(CodeOf(drive->Sense()), kNoMedium);
    Reply removal = Send(*drive, events);
    EXPECT_EQ(removal.data[4] & 0x0F, 3) << "media removal";
    EXPECT_EQ(removal.data[5] & 0x02, 0) << "no media present";
    EXPECT_TRUE(drive->EjectDisc()) << "nothing to eject is not an error";
}

TEST_F(DriveTest, ResetLeavesPowerOnAttentionAndAllowsRemoval) {
    auto drive = ReadyDrive(Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize));
    ASSERT_FALSE(Send(*drive, Cdb({0x1E, 0, 0, 0, 1})).check_condition);
    drive->Reset();
    EXPECT_TRUE(Send(*drive, Cdb({0x00})).check_condition);
    EXPECT_EQ(CodeOf(drive->Sense()), kPowerOn);
    EXPECT_FALSE(Send(*drive, Cdb({0x00})).check_condition);
    EXPECT_TRUE(drive->EjectDisc());
}

// ---- sense --------------------------------------------------------------------------------------

TEST_F(DriveTest, RequestSenseReturnsTheLastFailureOnce) {
    auto drive = ReadyDrive(Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize));
    ASSERT_TRUE(Send(*drive, Rw10(0x28, kSmallBlocks, 1)).check_condition);
    Reply sense = Send(*drive, Cdb({0x03, 0, 0, 0, 252}));
    ASSERT_EQ(sense.data.size(), 18u);
    EXPECT_EQ(sense.data[0], 0x70);
    EXPECT_EQ(sense.data[2], 0x05);
    EXPECT_EQ(sense.data[12], 0x21);
    EXPECT_EQ(sense.data[13], 0x00);
    sense = Send(*drive, Cdb({0x03, 0, 0, 0, 252}));
    EXPECT_EQ(sense.data[2], 0x00);
    EXPECT_EQ(sense.data[12], 0x00);

    // Any other command also replaces the sense of the failure before it.
    ASSERT_TRUE(Send(*drive, Cdb({0x08})).check_condition);
    EXPECT_EQ(CodeOf(drive->Sense()), kInvalidOpcode);
    ASSERT_FALSE(Send(*drive, Cdb({0x00})).check_condition);
    EXPECT_EQ(CodeOf(drive->Sense()), kGood);
}

// ---- mode pages ---------------------------------------------------------------------------------

TEST_F(DriveTest, ModeSelectStoresChangeableBitsOnly) {
    auto drive = ReadyDrive(Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize));
    const Bytes sense10 = Cdb({0x5A, 0, 0x01, 0, 0, 0, 0, 0, 255});
    Reply page = Send(*drive, sense10);
    ASSERT_EQ(page.data.size(), 20u);

    Bytes list = page.data;
    list[0] = list[1] = 0;  // the mode data length is reserved in MODE SELECT
    list[8] |= 0x80;        // PS, also reserved
    list[10] = 0x44;        // ARRE and PER; AWRE off
    list[11] = 5;           // read retries
    list[16] = 9;           // write retries
    ASSERT_TRUE(SendOut(*drive, Cdb({0x55, 0x10, 0, 0, 0, 0, 0, 0, 20}), list)) << Show(CodeOf(drive->Sense()));
    page = Send(*drive, sense10);
    EXPECT_EQ(page.data[10], 0x44);
    EXPECT_EQ(page.data[11], 5);
    EXPECT_EQ(page.data[16], 9);

    // MODE SELECT(6) with a bit that cannot change (the recovery time limit) changes nothing.
    Bytes list6 = {0, 0, 0, 0, 0x01, 0x0A, 0xC0, 16, 0, 0, 0, 0, 16, 0, 0, 1};
    EXPECT_FALSE(SendOut(*drive, Cdb({0x15, 0x10, 0, 0, 16}), list6));
    EXPECT_EQ(CodeOf(drive->Sense()), kInvalidParameter);
    EXPECT_EQ(Send(*drive, sense10).data[11], 5);
    // Nor does a page cut short.
    EXPECT_FALSE(SendOut(*drive, Cdb({0x15, 0x10, 0, 0, 10}), Bytes(list6.begin(), list6.begin() + 10)));
    EXPECT_EQ(CodeOf(drive->Sense()), (SenseCode{0x05, 0x1A, 0x00}));
    list6.back() = 0;
    ASSERT_TRUE(SendOut(*drive, Cdb({0x15, 0x10, 0, 0, 16}), list6));
    EXPECT_EQ(Send(*drive, sense10).data[11], 16);

    // The default page stays, and a reset brings the defaults back.
    ASSERT_TRUE(SendOut(*drive, Cdb({0x55, 0x10, 0, 0, 0, 0, 0, 0, 20}), list));
    EXPECT_EQ(Send(*drive, Cdb({0x5A, 0, 0x81, 0, 0, 0, 0, 0, 255})).data[11], 16);
    drive->Reset();
    Send(*drive, Cdb({0x00}));
    EXPECT_EQ(Send(*drive, sense10).data[11], 16);
}

// ---- configuration ------------------------------------------------------------------------------

std::vector<std::pair<std::uint16_t, bool>> FeatureList(const Bytes& d) {
    std::vector<std::pair<std::uint16_t, bool>> features;
    for (std::size_t at = 8; at + 4 <= d.size(); at += 4 + d[at + 3]) {
        features.emplace_back(Be16(d, at), d[at + 2] & 0x01);
    }
    return features;
}

TEST_F(DriveTest, ConfigurationFollowsTheDisc) {
    auto drive = ReadyDrive(Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize));
    Reply all = Send(*drive, Cdb({0x46, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}));
    ASSERT_FALSE(all.check_condition);
    EXPECT_EQ(Be32(all.data, 0), all.data.size() - 4);
    EXPECT_EQ(Be16(all.data, 6), 0x0012);
    using F = std::vector<std::pair<std::uint16_t, bool>>;
    EXPECT_EQ(FeatureList(all.data),
              (F{{0x0000, true}, {0x0001, true}, {0x0002, true}, {0x0003, true}, {0x0010, true}, {0x001F, true},
                 {0x0020, true}, {0x0023, true}}));
    // The profile list: DVD-RAM current, DVD-ROM readable.
    EXPECT_EQ(all.data[11], 8);
    EXPECT_EQ(Be16(all.data, 12), 0x0012);
    EXPECT_EQ(all.data[14] & 0x01, 1);
    EXPECT_EQ(Be16(all.data, 16), 0x0010);
    EXPECT_EQ(all.data[18] & 0x01, 0);

    // A short allocation keeps the full length in the header.
    Reply cut = Send(*drive, Cdb({0x46, 0, 0, 0, 0, 0, 0, 0, 10}));
    ASSERT_EQ(cut.data.size(), 10u);
    EXPECT_EQ(Be32(cut.data, 0), all.data.size() - 4);

    ASSERT_TRUE(drive->EjectDisc());
    Reply current = Send(*drive, Cdb({0x46, 1, 0x00, 0x02, 0, 0, 0, 0xFF, 0xFF}));
    EXPECT_EQ(Be16(current.data, 6), 0x0000);
    EXPECT_EQ(FeatureList(current.data), (F{{0x0002, true}, {0x0003, true}}));
    Reply from = Send(*drive, Cdb({0x46, 0, 0x00, 0x10, 0, 0, 0, 0xFF, 0xFF}));
    EXPECT_EQ(FeatureList(from.data), (F{{0x0010, false}, {0x001F, false}, {0x0020, false}, {0x0023, false}}));
}

TEST_F(DriveTest, EachModelNamesItself) {
    const std::pair<Model, const char*> models[] = {
        {Model::RcTvqr1, "KESTREL RC-TVQR1        "},
        {Model::QcrM10, "ORVANTECDVD-RAM QCR-M10 "},
        {Model::DvdRamTvQr2, "KESTREL DVD-RAM TV-QR2  "},
        {Model::QcrM20, "ORVANTECDVD-RAM QCR-M20 "},
    };
    for (const auto& [model, name] : models) {
        Drive drive({model, ""});
        Reply r = Send(drive, Cdb({0x12, 0, 0, 0, 36}));
        ASSERT_EQ(r.data.size(), 36u);
        EXPECT_EQ(std::string(r.data.begin() + 8, r.data.begin() + 32), name);
    }
}

// ---- formatting ---------------------------------------------------------------------------------

std::uint16_t ProgressOf(const camera::SenseData& s) {
    EXPECT_EQ(s[15] & 0x80, 0x80) << "SKSV";
    return static_cast<std::uint16_t>(s[16] << 8 | s[17]);
}

TEST_F(DriveTest, QuickFormatTakesSecondsAndKeepsData) {
    auto drive = ReadyDrive(Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize));
    ASSERT_TRUE(SendOut(*drive, Rw10(0x2A, 10, 1), Pattern(10, 1)));
    sched::Time start = sched::Now();
    ASSERT_TRUE(SendOut(*drive, kFormatUnit, FormatList(kQuickFormat, kSmallBlocks)));
    ASSERT_TRUE(drive->FormatEnd().has_value());
    EXPECT_EQ(*drive->FormatEnd() - start, 3 * kSecond);

    std::uint16_t last = 0;
    for (int i = 0; i < 5; ++i) {
        sched::Sleep(500 * sched::kMillisecond);
        EXPECT_TRUE(Send(*drive, Cdb({0x00})).check_condition);
        EXPECT_EQ(CodeOf(drive->Sense()), kNotReadyFormatting);
        std::uint16_t progress = ProgressOf(drive->Sense());
        EXPECT_GT(progress, last);
        last = progress;
    }
    // REQUEST SENSE shows the same, and does not end the format.
    Reply sense = Send(*drive, Cdb({0x03, 0, 0, 0, 18}));
    EXPECT_FALSE(sense.check_condition);
    EXPECT_EQ(sense.data[2], 0x02);
    EXPECT_EQ(sense.data[12], 0x04);
    EXPECT_EQ(sense.data[13], 0x04);
    EXPECT_EQ(sense.data[15], 0x80);
    EXPECT_EQ(Be16(sense.data, 16), 0xD555) << "2.5 s of 3 s";
    EXPECT_TRUE(Send(*drive, Rw10(0x28, 10, 1)).check_condition);
    EXPECT_FALSE(SendOut(*drive, kFormatUnit, FormatList(kQuickFormat, kSmallBlocks)));
    EXPECT_EQ(CodeOf(drive->Sense()), kNotReadyFormatting);
    // Identification and events still answer.
    EXPECT_FALSE(Send(*drive, Cdb({0x12, 0, 0, 0, 36})).check_condition);
    EXPECT_FALSE(Send(*drive, Cdb({0x46, 0, 0, 0, 0, 0, 0, 0, 8})).check_condition);
    // The format goes on through a reset.
    drive->Reset();
    EXPECT_TRUE(Send(*drive, Cdb({0x00})).check_condition);
    EXPECT_EQ(CodeOf(drive->Sense()), kPowerOn);
    EXPECT_TRUE(Send(*drive, Cdb({0x00})).check_condition);
    EXPECT_EQ(CodeOf(drive->Sense()), kNotReadyFormatting);

    sched::Sleep(*drive->FormatEnd() - sched::Now());
    EXPECT_FALSE(Send(*drive, Cdb({0x00})).check_condition);
    EXPECT_FALSE(drive->FormatEnd().has_value());
    EXPECT_EQ(Send(*drive, Rw10(0x28, 10, 1)).data, Pattern(10, 1));
}

TEST_F(DriveTest, FullFormatOfAFullSizeDiscTakesAboutAnHour) {
    constexpr std::uint64_t kBytes = 4'700'000'000;
    std::string path = Image("big.img", kBytes);
    auto drive = ReadyDrive(path);
    const std::uint32_t blocks = static_cast<std::uint32_t>(kBytes / camera::kBlockSize);
    ASSERT_EQ(drive->CapacityBlocks(), blocks);
    ASSERT_TRUE(SendOut(*drive, Rw10(0x2A, blocks - 1, 1), Pattern(1, 1)));

    // 2 passes at 2x (2 x 1,385,000 bytes/s).
    const sched::Time expected =
        static_cast<sched::Time>(2 * std::uint64_t{blocks} * camera::kBlockSize * kSecond / (2 * 1'385'000));
    sched::Time start = sched::Now();
    ASSERT_TRUE(SendOut(*drive, kFormatUnit, FormatList(kFullFormat, blocks)));
    ASSERT_TRUE(drive->FormatEnd().has_value());
    EXPECT_EQ(*drive->FormatEnd() - start, expected);
    EXPECT_GT(expected, 50 * 60 * kSecond);
    EXPECT_LT(expected, 65 * 60 * kSecond);

    std::uint16_t last = 0;
    int samples = 0;
    while (sched::Now() + 5 * 60 * kSecond < start + expected) {
        sched::Sleep(5 * 60 * kSecond);
        EXPECT_TRUE(Send(*drive, Rw10(0x28, 0, 1)).check_condition);
        std::uint16_t progress = ProgressOf(drive->Sense());
        EXPECT_GT(progress, last);
        EXPECT_EQ(progress, (sched::Now() - start) * 0x10000 / expected);
        last = progress;
        ++samples;
    }
    EXPECT_EQ(samples, 11);
    sched::Sleep(start + expected - 1 - sched::Now());
    EXPECT_TRUE(Send(*drive, Cdb({0x00})).check_condition);
    EXPECT_EQ(CodeOf(drive->Sense()), kNotReadyFormatting);
    EXPECT_EQ(ProgressOf(drive->Sense()), 0xFFFF);
    sched::Sleep(1);
    EXPECT_FALSE(Send(*drive, Cdb({0x00})).check_condition);

    // Certification wrote the whole disc: the old data is gone, and the image is still sparse.
    EXPECT_EQ(Send(*drive, Rw10(0x28, blocks - 1, 1)).data, Bytes(camera::kBlockSize, 0));
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), kBytes);
    EXPECT_LT(st.st_blocks, 1024);
}

TEST_F(DriveTest, FormatParameterListIsChecked) {
    auto drive = ReadyDrive(Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize));
    EXPECT_FALSE(SendOut(*drive, kFormatUnit, FormatList(kFullFormat, kSmallBlocks - 16)));
    EXPECT_EQ(CodeOf(drive->Sense()), kInvalidParameter);
    EXPECT_FALSE(SendOut(*drive, kFormatUnit, FormatList(kFullFormat, kSmallBlocks, 0x01 << 2)));
    EXPECT_EQ(CodeOf(drive->Sense()), kInvalidParameter);
    EXPECT_FALSE(SendOut(*drive, kFormatUnit, FormatList(0x20, kSmallBlocks))) << "DCRT without FOV";
    EXPECT_EQ(CodeOf(drive->Sense()), kInvalidParameter);
    EXPECT_FALSE(drive->FormatEnd().has_value());
    Bytes list = FormatList(kFullFormat, kSmallBlocks);
    ASSERT_EQ(Send(*drive, kFormatUnit).out_length, 12u);
    EXPECT_FALSE(drive->DataOut(list.data(), 4));
    EXPECT_EQ(CodeOf(drive->Sense()), kDataPhase);
    EXPECT_FALSE(drive->FormatEnd().has_value());
    // The IMMED bit changes nothing: the command returns at once either way.
    ASSERT_TRUE(SendOut(*drive, kFormatUnit, FormatList(kFullFormat | 0x02, kSmallBlocks)));
    EXPECT_TRUE(drive->FormatEnd().has_value());
}

TEST_F(DriveTest, EjectingEndsAFormat) {
    auto drive = ReadyDrive(Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize));
    ASSERT_TRUE(SendOut(*drive, kFormatUnit, FormatList(kFullFormat, kSmallBlocks)));
    EXPECT_TRUE(Send(*drive, Cdb({0x1B, 0, 0, 0, 0x02})).check_condition) << "busy formatting";
    EXPECT_EQ(CodeOf(drive->Sense()), kNotReadyFormatting);
    ASSERT_TRUE(drive->EjectDisc());
    EXPECT_FALSE(drive->FormatEnd().has_value());
    EXPECT_TRUE(Send(*drive, Cdb({0x00})).check_condition);
    EXPECT_EQ(CodeOf(drive->Sense()), kNoMedium);
}

TEST_F(DriveTest, DataForAnEjectedDiscIsRefused) {
    auto drive = ReadyDrive(Image("disc.img", std::uint64_t{kSmallBlocks} * camera::kBlockSize));
    ASSERT_EQ(Send(*drive, Rw10(0x2A, 0, 1)).direction, Direction::Out);
    ASSERT_TRUE(drive->EjectDisc());
    Bytes block = Pattern(0, 1);
    EXPECT_FALSE(drive->DataOut(block.data(), block.size()));
    EXPECT_EQ(CodeOf(drive->Sense()), kSequenceError);
}

}  // namespace
