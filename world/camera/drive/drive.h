// The DVD-RAM drive inside the camera, over a disc image file.
//
// The camera's USB transport owns the wire; this class is the drive behind it. For each command
// block the transport calls Command(), which says what data stage the command has:
//  - Direction::In    `data` holds the bytes to send: at most the allocation (or transfer) length,
//                     fewer when the drive has less to say. An allocation length of 0 gives None.
//  - Direction::Out   the drive expects `out_length` bytes; the transport calls DataOut() with them
//                     and DataOut() gives the status (false: CHECK CONDITION). Fewer bytes than
//                     `out_length` fail with ABORTED COMMAND / DATA PHASE ERROR (0B/4B/00); bytes
//                     past `out_length` are ignored. A new Command() drops an unfinished Out stage.
//  - Direction::None  no data stage.
// `check_condition` means the command failed; Sense() then shows the sense data without consuming
// it (for autosense and traces). REQUEST SENSE from the host is answered as a real drive does: the
// sense of the last failure, else a pending unit attention (consuming it), else the progress of a
// running format (02/04/04), else NO SENSE. Any other command clears the sense of the one before.
//
// Shared checks run before a command, in this order: a pending unit attention fails it (except
// INQUIRY, REQUEST SENSE, GET CONFIGURATION and GET EVENT STATUS NOTIFICATION, which pass it by);
// commands that need the disc fail with 02/3A/00 without one; commands that need the disc ready
// fail with 02/04/04 while a format runs. An opcode the drive does not know answers 05/20/00.
//
// The disc: blocks of 2048 bytes; capacity = image file size / 2048 (the image is a sparse file,
// unwritten areas read as zeros). Reads and writes go straight between the image and the reply or
// the transport's buffer. At most kMaxTransferBlocks blocks move in one command.
//
// Medium changes come from the world: InsertDisc() (the user puts a disc in: unit attention
// 06/28/00 and a New Media event) and EjectDisc() (the user presses eject: refused with an Eject
// Request event while the host prevents removal). START STOP UNIT with LoEj ejects from the host's
// side. Constructing the drive is power-on, Reset() a reset: both leave unit attention 06/29/00
// (a disc inserted while that is pending is covered by it), end prevention and bring the mode pages
// back to their defaults. A running format goes on through a reset; removing the disc ends it.
//
// Formatting runs in virtual time (sched::Now()); see FormatUnit in drive.cpp for the selection and
// the durations. FORMAT UNIT always returns at once, with or without IMMED, because the transport
// cannot hold a command for an hour: until the format ends, media commands answer NOT READY /
// FORMAT IN PROGRESS (02/04/04) with the progress in the sense-key-specific bytes.
//
// Not thread-safe: the transport calls in from one emulated thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sched/sched.h"

namespace camera {

enum class Model : std::uint8_t { RcTvqr1, QcrM10, DvdRamTvQr2, QcrM20 };

struct DriveOptions {
    Model model = Model::RcTvqr1;
    std::string image_path;  // empty: no disc
};

enum class Direction : std::uint8_t { None, In, Out };

struct Reply {
    Direction direction = Direction::None;
    std::vector<std::uint8_t> data;  // In
    std::uint32_t out_length = 0;    // Out
    bool check_condition = false;
};

// Sense key, additional sense code and qualifier.
struct SenseCode {
    std::uint8_t key;
    std::uint8_t asc;
    std::uint8_t ascq;
    friend bool operator==(const SenseCode&, const SenseCode&) = default;
};

inline constexpr std::uint32_t kBlockSize = 2048;
inline constexpr std::uint32_t kMaxTransferBlocks = 0xFFFF;
inline constexpr std::size_t kSenseLength = 18;
using SenseData = std::array<std::uint8_t, kSenseLength>;

class Drive {
public:
    explicit Drive(DriveOptions options);
    ~Drive();
    Drive(const Drive&) = delete;
    Drive& operator=(const Drive&) = delete;

    Reply Command(const std::uint8_t* cdb, std::size_t cdb_length);
    bool DataOut(const std::uint8_t* data, std::size_t length);
    void Reset();

    // False when a disc is already in or the image cannot be opened (the drive stays empty).
    bool InsertDisc(const std::string& image_path);
    // False while removal is prevented (the disc stays in). True when there was no disc.
    bool EjectDisc();

    // Fixed-format sense data that REQUEST SENSE would return now (without consuming it).
    SenseData Sense() const;
    bool HasDisc() const { return image_.has_value(); }
    std::uint32_t CapacityBlocks() const { return image_ ? image_->blocks : 0; }
    // When the running format ends, or nullopt when no format runs.
    std::optional<sched::Time> FormatEnd() const;

private:
    struct Cdb {
        std::array<std::uint8_t, 16> bytes;
    };
    struct SenseRecord {
        SenseCode code;
        std::optional<std::uint32_t> information;  // the failing LBA of a medium error
        std::optional<std::uint16_t> progress;     // format progress, 0..65535
    };
    struct Entry;
    using Handler = Reply (Drive::*)(const Cdb&);
    using OutHandler = bool (Drive::*)(const Cdb&, const std::uint8_t*);

    struct Image {
        int fd;
        std::uint64_t bytes;
        std::uint32_t blocks;
    };
    struct Format {
        sched::Time start;
        sched::Time end;
    };
    struct Pending {
        OutHandler handler;
        std::array<std::uint8_t, 16> cdb;
        std::uint32_t length;
    };
    struct ErrorRecovery {  // the changeable part of mode page 01h
        std::uint8_t flags;
        std::uint8_t read_retries;
        std::uint8_t write_retries;
    };

    static const std::array<Entry, 256>& Commands();
    static ErrorRecovery DefaultRecovery();

    // Every failure goes through SetSense.
    void SetSense(const SenseRecord& record);
    Reply Fail(const SenseCode& code);
    Reply FailAt(const SenseCode& code, std::uint32_t lba);
    bool FailOut(const SenseCode& code, std::optional<std::uint32_t> lba);
    SenseRecord CurrentSense() const;
    SenseRecord FormatSense() const;

    bool Formatting() const;
    bool OpenImage(const std::string& path);
    void CloseImage();
    void RemoveDisc();
    void QueueMediaEvent(std::uint8_t code);
    Reply ExpectOut(OutHandler handler, const Cdb& cdb, std::uint32_t length);
    bool RangeOk(std::uint32_t lba, std::uint32_t blocks) const;
    Reply ReadBlocks(const Cdb& cdb);
    Reply StartWrite(const Cdb& cdb);
    std::vector<std::uint8_t> ModePage(std::uint8_t code, std::uint8_t control) const;
    Reply ModeSense(std::uint8_t page_byte, std::uint8_t subpage, std::uint32_t allocation, bool ten);
    Reply ModeSelect(const Cdb& cdb, std::uint8_t flags, std::uint32_t length);

    // Handlers (the table in drive.cpp maps opcodes to them).
    Reply TestUnitReady(const Cdb& cdb);
    Reply RezeroUnit(const Cdb& cdb);
    Reply RequestSense(const Cdb& cdb);
    Reply FormatUnit(const Cdb& cdb);
    Reply Inquiry(const Cdb& cdb);
    Reply ModeSelect6(const Cdb& cdb);
    Reply ModeSense6(const Cdb& cdb);
    Reply StartStopUnit(const Cdb& cdb);
    Reply SendDiagnostic(const Cdb& cdb);
    Reply PreventAllow(const Cdb& cdb);
    Reply ReadFormatCapacities(const Cdb& cdb);
    Reply ReadCapacity(const Cdb& cdb);
    Reply Read10(const Cdb& cdb);
    Reply Write10(const Cdb& cdb);
    Reply Seek10(const Cdb& cdb);
    Reply Verify(const Cdb& cdb);
    Reply SynchronizeCache(const Cdb& cdb);
    Reply WriteBuffer(const Cdb& cdb);
    Reply ReadBuffer(const Cdb& cdb);
    Reply ReadToc(const Cdb& cdb);
    Reply GetConfiguration(const Cdb& cdb);
    Reply GetEventStatus(const Cdb& cdb);
    Reply ReadDiscInformation(const Cdb& cdb);
    Reply ReadTrackInformation(const Cdb& cdb);
    Reply ReserveTrack(const Cdb& cdb);
    Reply ModeSelect10(const Cdb& cdb);
    Reply ModeSense10(const Cdb& cdb);
    Reply CloseTrackSession(const Cdb& cdb);
    Reply SendKey(const Cdb& cdb);
    Reply ReportKey(const Cdb& cdb);
    Reply Read12(const Cdb& cdb);
    Reply Write12(const Cdb& cdb);
    Reply GetPerformance(const Cdb& cdb);
    Reply ReadDvdStructure(const Cdb& cdb);
    Reply MechanismStatus(const Cdb& cdb);

    // Out stages, run by DataOut.
    bool FormatData(const Cdb& cdb, const std::uint8_t* data);
    bool ModeSelectData(const Cdb& cdb, const std::uint8_t* data);
    bool WriteData(const Cdb& cdb, const std::uint8_t* data);
    bool WriteBufferData(const Cdb& cdb, const std::uint8_t* data);

    DriveOptions options_;
    ErrorRecovery recovery_;
    std::vector<std::uint8_t> buffer_;
    std::optional<SenseCode> unit_attention_;
    std::optional<Image> image_;
    std::optional<Format> format_;
    std::optional<Pending> pending_;
    std::optional<SenseRecord> sense_;
    std::deque<std::uint8_t> media_events_;
    std::uint32_t last_lba_ = 0;  // for MECHANISM STATUS
    bool prevent_ = false;
};

}  // namespace camera
