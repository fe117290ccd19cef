// The drive's command interpreter, its medium, and the commands that move or change data.
// The commands that only report (INQUIRY, mode pages, configuration, disc structures) are in
// reports.cpp.
#include "camera/drive/drive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "camera/drive/internal.h"
#include "camera/drive/wire.h"

namespace camera {

using namespace internal;

namespace {

// Checks that run before a handler, in this order.
enum Check : std::uint8_t {
    kUnitAttention = 1,  // a pending unit attention fails the command (and is consumed)
    kMedium = 2,         // no disc: 02/3A/00
    kReady = 4,          // a format runs: 02/04/04 with its progress
};

// A quick format rewrites the defect management areas and the lead-in only.
constexpr sched::Time kQuickFormatTime = 3 * sched::kSecond;
// A full format writes every sector and reads it back (certification): two passes at drive speed.
constexpr std::uint64_t kCertifyPasses = 2;

sched::Time FullFormatTime(std::uint32_t blocks) {
    std::uint64_t bytes = std::uint64_t{blocks} * kBlockSize;
    return static_cast<sched::Time>(kCertifyPasses * bytes * sched::kSecond /
                                    (std::uint64_t{kSpeedFactor} * kDvd1xBytesPerSecond));
}

// The block address and count of READ/WRITE/WRITE AND VERIFY/VERIFY, (10) or (12).
struct Extent {
    std::uint32_t lba;
    std::uint32_t blocks;
};

Extent ExtentOf(const std::array<std::uint8_t, 16>& cdb) {
    if (cdb[0] >= 0xA0) {
        auto c = wire::Take<wire::Rw12Cdb>(cdb.data());
        return {c.lba.Get(), c.length.Get()};
    }
    auto c = wire::Take<wire::Rw10Cdb>(cdb.data());
    return {c.lba.Get(), c.length.Get()};
}

off_t BlockOffset(std::uint32_t lba) { return static_cast<off_t>(std::uint64_t{lba} * kBlockSize); }

}  // namespace

struct Drive::Entry {
    Handler handler;
    std::uint8_t length;  // the command block's length
    std::uint8_t checks;
};

const std::array<Drive::Entry, 256>& Drive::Commands() {
    static const std::array<Entry, 256> table = [] {
        std::array<Entry, 256> t{};
        auto add = [&t](std::uint8_t opcode, std::uint8_t length, Handler handler, std::uint8_t checks) {
            t[opcode] = {handler, length, checks};
        };
        constexpr std::uint8_t kMedia = kUnitAttention | kMedium | kReady;
        add(0x00, 6, &Drive::TestUnitReady, kMedia);
        add(0x01, 6, &Drive::RezeroUnit, kMedia);
        add(0x03, 6, &Drive::RequestSense, 0);
        add(0x04, 6, &Drive::FormatUnit, kMedia);
        add(0x12, 6, &Drive::Inquiry, 0);
        add(0x15, 6, &Drive::ModeSelect6, kUnitAttention);
        add(0x1A, 6, &Drive::ModeSense6, kUnitAttention);
        add(0x1B, 6, &Drive::StartStopUnit, kUnitAttention | kReady);
        add(0x1D, 6, &Drive::SendDiagnostic, kUnitAttention | kReady);
        add(0x1E, 6, &Drive::PreventAllow, kUnitAttention);
        add(0x23, 10, &Drive::ReadFormatCapacities, kUnitAttention | kReady);
        add(0x25, 10, &Drive::ReadCapacity, kMedia);
        add(0x28, 10, &Drive::Read10, kMedia);
        add(0x2A, 10, &Drive::Write10, kMedia);
        add(0x2B, 10, &Drive::Seek10, kMedia);
        // The image keeps what is written, so the verify pass of WRITE AND VERIFY cannot fail.
        add(0x2E, 10, &Drive::Write10, kMedia);
        add(0x2F, 10, &Drive::Verify, kMedia);
        add(0x35, 10, &Drive::SynchronizeCache, kMedia);
        add(0x3B, 10, &Drive::WriteBuffer, kUnitAttention);
        add(0x3C, 10, &Drive::ReadBuffer, kUnitAttention);
        add(0x43, 10, &Drive::ReadToc, kMedia);
        add(0x46, 10, &Drive::GetConfiguration, 0);
        add(0x4A, 10, &Drive::GetEventStatus, 0);
        add(0x51, 10, &Drive::ReadDiscInformation, kMedia);
        add(0x52, 10, &Drive::ReadTrackInformation, kMedia);
        add(0x53, 10, &Drive::ReserveTrack, kMedia);
        add(0x55, 10, &Drive::ModeSelect10, kUnitAttention);
        add(0x5A, 10, &Drive::ModeSense10, kUnitAttention);
        add(0x5B, 10, &Drive::CloseTrackSession, kMedia);
        add(0xA3, 12, &Drive::SendKey, kUnitAttention);
        add(0xA4, 12, &Drive::ReportKey, kUnitAttention);
        add(0xA8, 12, &Drive::Read12, kMedia);
        add(0xAA, 12, &Drive::Write12, kMedia);
        add(0xAC, 12, &Drive::GetPerformance, kMedia);
        add(0xAD, 12, &Drive::ReadDvdStructure, kMedia);
        add(0xAE, 12, &Drive::Write12, kMedia);
        add(0xAF, 12, &Drive::Verify, kMedia);
        add(0xBD, 12, &Drive::MechanismStatus, kUnitAttention);
        return t;
    }();
    return table;
}

// ---- life and medium ----------------------------------------------------------------------------

Drive::Drive(DriveOptions options)
    : options_(std::move(options)),
      recovery_(DefaultRecovery()),
      buffer_(kBufferBytes),
      unit_attention_(kPowerOnReset) {
    if (!options_.image_path.empty() && OpenImage(options_.image_path)) {
        QueueMediaEvent(kEventNewMedia);
    }
}

Drive::~Drive() { CloseImage(); }

bool Drive::OpenImage(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        // A read-only image still reads; writes then fail as a drive's write errors do.
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        return false;
    }
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(kBlockSize) ||
        static_cast<std::uint64_t>(st.st_size) / kBlockSize > std::numeric_limits<std::uint32_t>::max()) {
        close(fd);
        return false;
    }
    auto bytes = static_cast<std::uint64_t>(st.st_size);
    image_ = Image{fd, bytes, static_cast<std::uint32_t>(bytes / kBlockSize)};
    last_lba_ = 0;
    return true;
}

void Drive::CloseImage() {
    if (image_) {
        close(image_->fd);
        image_.reset();
    }
    format_.reset();
}

bool Drive::InsertDisc(const std::string& image_path) {
    if (image_ || !OpenImage(image_path)) {
        return false;
    }
    // A pending power-on attention already tells the host that everything changed.
    if (!unit_attention_) {
        unit_attention_ = kMediumChanged;
    }
    QueueMediaEvent(kEventNewMedia);
    return true;
}

bool Drive::EjectDisc() {
    if (prevent_) {
        QueueMediaEvent(kEventEjectRequest);
        return false;
    }
    RemoveDisc();
    return true;
}

void Drive::RemoveDisc() {
    // A data stage still owed to the disc has nowhere to go.
    pending_.reset();
    if (image_) {
        CloseImage();
        QueueMediaEvent(kEventMediaRemoval);
    }
}

void Drive::QueueMediaEvent(std::uint8_t code) {
    // The host may not poll for a long time; the oldest events then matter least.
    constexpr std::size_t kMaxEvents = 8;
    if (media_events_.size() == kMaxEvents) {
        media_events_.pop_front();
    }
    media_events_.push_back(code);
}

void Drive::Reset() {
    pending_.reset();
    sense_.reset();
    unit_attention_ = kPowerOnReset;
    prevent_ = false;
    recovery_ = DefaultRecovery();
}

std::optional<sched::Time> Drive::FormatEnd() const {
    if (Formatting()) {
        return format_->end;
    }
    return std::nullopt;
}

bool Drive::Formatting() const { return format_ && sched::Now() < format_->end; }

// ---- sense --------------------------------------------------------------------------------------

void Drive::SetSense(const SenseRecord& record) { sense_ = record; }

Reply Drive::Fail(const SenseCode& code) {
    SetSense({code, std::nullopt, std::nullopt});
    Reply reply;
    reply.check_condition = true;
    return reply;
}

Reply Drive::FailAt(const SenseCode& code, std::uint32_t lba) {
    SetSense({code, lba, std::nullopt});
    Reply reply;
    reply.check_condition = true;
    return reply;
}

bool Drive::FailOut(const SenseCode& code, std::optional<std::uint32_t> lba) {
    SetSense({code, lba, std::nullopt});
    return false;
}

Drive::SenseRecord Drive::FormatSense() const {
    sched::Time length = format_->end - format_->start;
    sched::Time done = sched::Now() - format_->start;
    auto progress = static_cast<std::uint16_t>(std::min<sched::Time>(0xFFFF, done * 0x10000 / length));
    return {kFormatInProgress, std::nullopt, progress};
}

Drive::SenseRecord Drive::CurrentSense() const {
    if (sense_) {
        return *sense_;
    }
    if (unit_attention_) {
        return {*unit_attention_, std::nullopt, std::nullopt};
    }
    if (Formatting()) {
        return FormatSense();
    }
    return {kNoSense, std::nullopt, std::nullopt};
}

SenseData Drive::Sense() const {
    SenseRecord record = CurrentSense();
    wire::FixedSense sense{};
    sense.response_code = wire::kSenseCurrentFixed;
    if (record.information) {
        sense.response_code |= wire::kSenseValid;
        sense.information.Set(*record.information);
    }
    sense.sense_key = record.code.key;
    sense.additional_length = sizeof(sense) - 8;
    sense.asc = record.code.asc;
    sense.ascq = record.code.ascq;
    if (record.progress) {
        sense.sks0 = wire::kSenseSksv;
        sense.sks.Set(*record.progress);
    }
    SenseData data;
    std::memcpy(data.data(), &sense, sizeof(sense));
    return data;
}

// ---- the interpreter ----------------------------------------------------------------------------

Reply Drive::Command(const std::uint8_t* cdb, std::size_t cdb_length) {
    pending_.reset();
    Cdb c{};
    std::copy_n(cdb, std::min(cdb_length, c.bytes.size()), c.bytes.begin());
    const Entry& entry = Commands()[c.bytes[0]];
    if (entry.handler != &Drive::RequestSense) {
        sense_.reset();
    }
    if (cdb_length == 0 || entry.handler == nullptr) {
        return Fail(kInvalidOpcode);
    }
    if (cdb_length < entry.length) {
        return Fail(kInvalidField);
    }
    if ((entry.checks & kUnitAttention) && unit_attention_) {
        SenseCode attention = *unit_attention_;
        unit_attention_.reset();
        return Fail(attention);
    }
    if ((entry.checks & kMedium) && !image_) {
        return Fail(kNoMedium);
    }
    if ((entry.checks & kReady) && Formatting()) {
        SetSense(FormatSense());
        Reply reply;
        reply.check_condition = true;
        return reply;
    }
    return (this->*entry.handler)(c);
}

Reply Drive::ExpectOut(OutHandler handler, const Cdb& cdb, std::uint32_t length) {
    Reply reply;
    if (length == 0) {
        return reply;
    }
    pending_ = Pending{handler, cdb.bytes, length};
    reply.direction = Direction::Out;
    reply.out_length = length;
    return reply;
}

bool Drive::DataOut(const std::uint8_t* data, std::size_t length) {
    if (!pending_) {
        return FailOut(kSequenceError, std::nullopt);
    }
    Pending pending = *pending_;
    pending_.reset();
    if (length < pending.length) {
        return FailOut(kDataPhaseError, std::nullopt);
    }
    return (this->*pending.handler)(Cdb{pending.cdb}, data);
}

// ---- commands without data ----------------------------------------------------------------------

Reply Drive::TestUnitReady(const Cdb&) { return {}; }

Reply Drive::RezeroUnit(const Cdb&) {
    last_lba_ = 0;
    return {};
}

Reply Drive::RequestSense(const Cdb& cdb) {
    auto c = wire::Take<wire::Cdb6Alloc>(cdb.bytes.data());
    SenseData sense = Sense();
    if (sense_) {
        sense_.reset();
    } else {
        unit_attention_.reset();
    }
    return DataIn({sense.begin(), sense.end()}, c.length);
}

Reply Drive::StartStopUnit(const Cdb& cdb) {
    auto c = wire::Take<wire::StartStopCdb>(cdb.bytes.data());
    if (c.flags & wire::kStartStopPowerMask) {
        // Power conditions change nothing an image can show.
        return {};
    }
    bool load_eject = c.flags & wire::kStartStopLoEj;
    bool start = c.flags & wire::kStartStopStart;
    if (load_eject && !start) {
        if (prevent_) {
            return Fail(kRemovalPrevented);
        }
        RemoveDisc();
        return {};
    }
    // Loading or spinning up needs a disc; the camera's lid is closed by hand, not by the host.
    if (start && !image_) {
        return Fail(kNoMedium);
    }
    return {};
}

Reply Drive::SendDiagnostic(const Cdb& cdb) {
    auto c = wire::Take<wire::SendDiagnosticCdb>(cdb.bytes.data());
    // The self-test passes; the drive has no diagnostic pages to take.
    if (!(c.flags & wire::kDiagnosticSelfTest) && c.parameter_length.Get() != 0) {
        return Fail(kInvalidField);
    }
    return {};
}

Reply Drive::PreventAllow(const Cdb& cdb) {
    auto c = wire::Take<wire::PreventAllowCdb>(cdb.bytes.data());
    // Persistent prevention (bit 1) locks the same lid as plain prevention.
    prevent_ = c.prevent & wire::kPreventPrevent;
    return {};
}

// ---- FORMAT UNIT --------------------------------------------------------------------------------
//
// The parameter list is one header and one descriptor (12 bytes): format type 00h (full format),
// number of blocks = the capacity READ FORMAT CAPACITIES reports, block length 2048.
//  - FOV = 0, or FOV = 1 with DCRT = 0: full format with certification. Every sector is written and
//    read back: two passes over the disc at 2x, capacity * 2048 / 1,385,000 seconds (56.6 minutes
//    for 4.7 GB). The image is cleared: afterwards every block reads as zeros.
//  - FOV = 1 with DCRT = 1: quick format, certification off. Only the defect management areas are
//    rewritten: 3 seconds; the data in the user area stays readable.
// IMMED makes no difference: the command always completes at once (see drive.h).

Reply Drive::FormatUnit(const Cdb& cdb) {
    auto c = wire::Take<wire::FormatUnitCdb>(cdb.bytes.data());
    if (!(c.flags & wire::kFormatFmtData) || (c.flags & wire::kFormatCodeMask) != wire::kFormatCodeMmc) {
        return Fail(kInvalidField);
    }
    return ExpectOut(&Drive::FormatData, cdb, sizeof(wire::FormatListHeader) + sizeof(wire::FormatDescriptor));
}

bool Drive::FormatData(const Cdb&, const std::uint8_t* data) {
    auto header = wire::Take<wire::FormatListHeader>(data);
    auto descriptor = wire::Take<wire::FormatDescriptor>(data + sizeof(header));
    bool fov = header.flags & wire::kFormatFov;
    if (header.descriptor_length.Get() != sizeof(descriptor) || (!fov && (header.flags & wire::kFormatFovBits)) ||
        (header.flags & wire::kFormatIp) || (descriptor.type >> 2) != 0 ||
        descriptor.blocks.Get() != image_->blocks || descriptor.parameter.Get() != kBlockSize) {
        return FailOut(kInvalidParameter, std::nullopt);
    }
    bool certify = !(fov && (header.flags & wire::kFormatDcrt));
    sched::Time now = sched::Now();
    if (certify) {
        // Cutting the file to nothing and back keeps it sparse: a cleared 4.7 GB disc costs no disk.
        auto bytes = static_cast<off_t>(image_->bytes);
        if (ftruncate(image_->fd, 0) != 0 || ftruncate(image_->fd, bytes) != 0) {
            return FailOut(kFormatFailed, std::nullopt);
        }
        format_ = Format{now, now + FullFormatTime(image_->blocks)};
    } else {
        format_ = Format{now, now + kQuickFormatTime};
    }
    return true;
}

// ---- blocks -------------------------------------------------------------------------------------

bool Drive::RangeOk(std::uint32_t lba, std::uint32_t blocks) const {
    return lba < image_->blocks && blocks <= image_->blocks - lba;
}

Reply Drive::ReadBlocks(const Cdb& cdb) {
    Extent extent = ExtentOf(cdb.bytes);
    if (!RangeOk(extent.lba, extent.blocks)) {
        return Fail(kLbaOutOfRange);
    }
    if (extent.blocks > kMaxTransferBlocks) {
        return Fail(kInvalidField);
    }
    Reply reply;
    if (extent.blocks == 0) {
        return reply;
    }
    reply.direction = Direction::In;
    reply.data.resize(std::size_t{extent.blocks} * kBlockSize);
    std::size_t done = 0;
    while (done < reply.data.size()) {
        ssize_t n = pread(image_->fd, reply.data.data() + done, reply.data.size() - done,
                          BlockOffset(extent.lba) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return FailAt(kReadError, extent.lba + static_cast<std::uint32_t>(done / kBlockSize));
        }
        done += static_cast<std::size_t>(n);
    }
    last_lba_ = extent.lba + extent.blocks - 1;
    return reply;
}

Reply Drive::Read10(const Cdb& cdb) { return ReadBlocks(cdb); }
Reply Drive::Read12(const Cdb& cdb) { return ReadBlocks(cdb); }

Reply Drive::StartWrite(const Cdb& cdb) {
    Extent extent = ExtentOf(cdb.bytes);
    if (!RangeOk(extent.lba, extent.blocks)) {
        return Fail(kLbaOutOfRange);
    }
    if (extent.blocks > kMaxTransferBlocks) {
        return Fail(kInvalidField);
    }
    return ExpectOut(&Drive::WriteData, cdb, extent.blocks * kBlockSize);
}

Reply Drive::Write10(const Cdb& cdb) { return StartWrite(cdb); }
Reply Drive::Write12(const Cdb& cdb) { return StartWrite(cdb); }

bool Drive::WriteData(const Cdb& cdb, const std::uint8_t* data) {
    Extent extent = ExtentOf(cdb.bytes);
    std::size_t total = std::size_t{extent.blocks} * kBlockSize;
    std::size_t done = 0;
    while (done < total) {
        ssize_t n = pwrite(image_->fd, data + done, total - done, BlockOffset(extent.lba) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return FailOut(kWriteError, extent.lba + static_cast<std::uint32_t>(done / kBlockSize));
        }
        done += static_cast<std::size_t>(n);
    }
    last_lba_ = extent.lba + extent.blocks - 1;
    return true;
}

Reply Drive::Seek10(const Cdb& cdb) {
    auto c = wire::Take<wire::Rw10Cdb>(cdb.bytes.data());
    if (!RangeOk(c.lba.Get(), 0)) {
        return Fail(kLbaOutOfRange);
    }
    last_lba_ = c.lba.Get();
    return {};
}

Reply Drive::Verify(const Cdb& cdb) {
    // Byte-by-byte comparison with host data is not offered; the medium check is the range check,
    // since every sector of an image reads.
    if (cdb.bytes[1] & wire::kVerifyBytChk) {
        return Fail(kInvalidField);
    }
    Extent extent = ExtentOf(cdb.bytes);
    if (!RangeOk(extent.lba, extent.blocks)) {
        return Fail(kLbaOutOfRange);
    }
    return {};
}

Reply Drive::SynchronizeCache(const Cdb& cdb) {
    // Writes go straight to the image, so there is no cache to flush; the range is still checked.
    auto c = wire::Take<wire::Rw10Cdb>(cdb.bytes.data());
    std::uint32_t lba = c.lba.Get();
    std::uint32_t blocks = c.length.Get();
    if (!RangeOk(lba, blocks)) {
        return Fail(kLbaOutOfRange);
    }
    return {};
}

// ---- the drive's buffer -------------------------------------------------------------------------
// Data mode (02h) reads and writes the 2 MiB buffer; READ BUFFER's descriptor mode (03h) gives its
// size. Microcode download and the other modes are not taken.

Reply Drive::WriteBuffer(const Cdb& cdb) {
    auto c = wire::Take<wire::BufferCdb>(cdb.bytes.data());
    std::uint64_t end = std::uint64_t{c.offset.Get()} + c.length.Get();
    if ((c.mode & wire::kBufferModeMask) != wire::kBufferModeData || c.buffer_id != 0 || end > buffer_.size()) {
        return Fail(kInvalidField);
    }
    return ExpectOut(&Drive::WriteBufferData, cdb, c.length.Get());
}

bool Drive::WriteBufferData(const Cdb& cdb, const std::uint8_t* data) {
    auto c = wire::Take<wire::BufferCdb>(cdb.bytes.data());
    std::copy_n(data, c.length.Get(), buffer_.begin() + c.offset.Get());
    return true;
}

Reply Drive::ReadBuffer(const Cdb& cdb) {
    auto c = wire::Take<wire::BufferCdb>(cdb.bytes.data());
    std::uint8_t mode = c.mode & wire::kBufferModeMask;
    if (c.buffer_id != 0) {
        return Fail(kInvalidField);
    }
    if (mode == wire::kBufferModeDescriptor) {
        wire::BufferDescriptor descriptor{};
        descriptor.capacity.Set(static_cast<std::uint32_t>(buffer_.size()));
        std::vector<std::uint8_t> out;
        wire::Put(out, descriptor);
        return DataIn(std::move(out), c.length.Get());
    }
    std::uint64_t end = std::uint64_t{c.offset.Get()} + c.length.Get();
    if (mode != wire::kBufferModeData || end > buffer_.size()) {
        return Fail(kInvalidField);
    }
    auto first = buffer_.begin() + c.offset.Get();
    return DataIn({first, first + c.length.Get()}, c.length.Get());
}

// ---- tracks and keys ----------------------------------------------------------------------------

Reply Drive::ReserveTrack(const Cdb&) {
    // A DVD-RAM disc is one random-writable track: there is no invisible track to reserve from.
    return Fail(kIllegalTrackMode);
}

Reply Drive::CloseTrackSession(const Cdb& cdb) {
    // Nothing is ever open on DVD-RAM, so closing track 1 or the session succeeds and does nothing,
    // which is what writing software that closes every disc expects.
    auto c = wire::Take<wire::CloseTrackCdb>(cdb.bytes.data());
    constexpr std::uint8_t kCloseTrack = 1;
    constexpr std::uint8_t kCloseSession = 2;
    std::uint8_t function = c.function & wire::kCloseFunctionMask;
    if ((function == kCloseTrack && c.number.Get() == 1) || function == kCloseSession) {
        return {};
    }
    return Fail(kInvalidField);
}

// The drive has no content scrambling system: no authentication grant ID is ever handed out, so
// invalidating one (key format 3Fh) succeeds and every key exchange fails with 05/24/00. REPORT
// KEY's RPC state (key format 08h) says that no region is set and that the drive does not enforce
// regions (RPC Phase I).
constexpr std::uint8_t kKeyFormatRpcState = 0x08;
constexpr std::uint8_t kKeyFormatInvalidateAgid = 0x3F;

Reply Drive::SendKey(const Cdb& cdb) {
    auto c = wire::Take<wire::KeyCdb>(cdb.bytes.data());
    if (c.key_class == 0 && (c.agid_format & wire::kKeyFormatMask) == kKeyFormatInvalidateAgid &&
        c.length.Get() == 0) {
        return {};
    }
    return Fail(kInvalidField);
}

Reply Drive::ReportKey(const Cdb& cdb) {
    auto c = wire::Take<wire::KeyCdb>(cdb.bytes.data());
    std::uint8_t format = c.agid_format & wire::kKeyFormatMask;
    if (c.key_class != 0) {
        return Fail(kInvalidField);
    }
    if (format == kKeyFormatInvalidateAgid) {
        return {};
    }
    if (format != kKeyFormatRpcState) {
        return Fail(kInvalidField);
    }
    constexpr std::uint8_t kVendorResets = 4;
    constexpr std::uint8_t kUserChanges = 5;
    constexpr std::uint8_t kNoRegion = 0xFF;
    wire::RpcState state{};
    state.length.Set(sizeof(state) - 2);
    state.state = kVendorResets << 3 | kUserChanges;
    state.region_mask = kNoRegion;
    std::vector<std::uint8_t> out;
    wire::Put(out, state);
    return DataIn(std::move(out), c.length.Get());
}

}  // namespace camera
