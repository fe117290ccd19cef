// Byte layouts of the drive's command blocks, parameter lists and replies.
//
// Every multi-byte field on the wire is big-endian, so fields are byte arrays wrapped in Be16/Be24/
// Be32: each struct below has alignment 1 and no padding, and its size is checked against the wire
// size. Handlers fill a struct and append it with Put(); they read command blocks and parameter
// lists with Take(). Bit fields inside a byte are named by the constants next to each struct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace camera::wire {

struct Be16 {
    std::uint8_t b[2];
    void Set(std::uint16_t v) {
        b[0] = static_cast<std::uint8_t>(v >> 8);
        b[1] = static_cast<std::uint8_t>(v);
    }
    std::uint16_t Get() const { return static_cast<std::uint16_t>(b[0] << 8 | b[1]); }
};

struct Be24 {
    std::uint8_t b[3];
    void Set(std::uint32_t v) {
        b[0] = static_cast<std::uint8_t>(v >> 16);
        b[1] = static_cast<std::uint8_t>(v >> 8);
        b[2] = static_cast<std::uint8_t>(v);
    }
    std::uint32_t Get() const { return std::uint32_t{b[0]} << 16 | std::uint32_t{b[1]} << 8 | b[2]; }
};

struct Be32 {
    std::uint8_t b[4];
    void Set(std::uint32_t v) {
        b[0] = static_cast<std::uint8_t>(v >> 24);
        b[1] = static_cast<std::uint8_t>(v >> 16);
        b[2] = static_cast<std::uint8_t>(v >> 8);
        b[3] = static_cast<std::uint8_t>(v);
    }
    std::uint32_t Get() const {
        return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
    }
};

template <class T>
inline constexpr bool kWireLayout = std::is_trivially_copyable_v<T> && std::is_standard_layout_v<T> && alignof(T) == 1;

template <class T>
void Put(std::vector<std::uint8_t>& out, const T& value) {
    static_assert(kWireLayout<T>);
    const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof(T));
}

// Reads a T from at least sizeof(T) bytes at `p`.
template <class T>
T Take(const std::uint8_t* p) {
    static_assert(kWireLayout<T>);
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

// Overwrites a T already appended at `offset` (a length field known only at the end).
template <class T>
void PutAt(std::vector<std::uint8_t>& out, std::size_t offset, const T& value) {
    static_assert(kWireLayout<T>);
    std::memcpy(out.data() + offset, &value, sizeof(T));
}

// ---- command blocks -----------------------------------------------------------------------------

struct Cdb6Alloc {  // REQUEST SENSE, MODE SELECT(6) (byte 4 = parameter list length)
    std::uint8_t opcode;
    std::uint8_t flags;
    std::uint8_t reserved[2];
    std::uint8_t length;
    std::uint8_t control;
};
static_assert(sizeof(Cdb6Alloc) == 6);
inline constexpr std::uint8_t kModeSelectPf = 0x10;
inline constexpr std::uint8_t kModeSelectSp = 0x01;

struct FormatUnitCdb {
    std::uint8_t opcode;
    std::uint8_t flags;  // FmtData, CmpList, format code
    std::uint8_t vendor;
    std::uint8_t obsolete[2];
    std::uint8_t control;
};
static_assert(sizeof(FormatUnitCdb) == 6);
inline constexpr std::uint8_t kFormatFmtData = 0x10;
inline constexpr std::uint8_t kFormatCodeMask = 0x07;
inline constexpr std::uint8_t kFormatCodeMmc = 0x01;

struct InquiryCdb {
    std::uint8_t opcode;
    std::uint8_t flags;  // EVPD
    std::uint8_t page;
    Be16 allocation;
    std::uint8_t control;
};
static_assert(sizeof(InquiryCdb) == 6);
inline constexpr std::uint8_t kInquiryEvpd = 0x01;

struct ModeSense6Cdb {
    std::uint8_t opcode;
    std::uint8_t flags;  // DBD
    std::uint8_t page;   // page control (7-6), page code (5-0)
    std::uint8_t subpage;
    std::uint8_t allocation;
    std::uint8_t control;
};
static_assert(sizeof(ModeSense6Cdb) == 6);

struct StartStopCdb {
    std::uint8_t opcode;
    std::uint8_t immed;
    std::uint8_t reserved;
    std::uint8_t power_condition_modifier;
    std::uint8_t flags;  // power condition (7-4), LoEj, Start
    std::uint8_t control;
};
static_assert(sizeof(StartStopCdb) == 6);
inline constexpr std::uint8_t kStartStopPowerMask = 0xF0;
inline constexpr std::uint8_t kStartStopLoEj = 0x02;
inline constexpr std::uint8_t kStartStopStart = 0x01;

struct SendDiagnosticCdb {
    std::uint8_t opcode;
    std::uint8_t flags;  // self-test code (7-5), PF, SelfTest, DevOffL, UnitOffL
    std::uint8_t reserved;
    Be16 parameter_length;
    std::uint8_t control;
};
static_assert(sizeof(SendDiagnosticCdb) == 6);
inline constexpr std::uint8_t kDiagnosticSelfTest = 0x04;

struct PreventAllowCdb {
    std::uint8_t opcode;
    std::uint8_t reserved[3];
    std::uint8_t prevent;  // Persistent, Prevent
    std::uint8_t control;
};
static_assert(sizeof(PreventAllowCdb) == 6);
inline constexpr std::uint8_t kPreventPrevent = 0x01;

struct Cdb10Alloc {  // READ FORMAT CAPACITIES, READ DISC INFORMATION, MODE SELECT(10): length in bytes 7-8
    std::uint8_t opcode;
    std::uint8_t flags;
    std::uint8_t reserved[5];
    Be16 length;
    std::uint8_t control;
};
static_assert(sizeof(Cdb10Alloc) == 10);

struct ReadCapacityCdb {
    std::uint8_t opcode;
    std::uint8_t reserved1;
    Be32 lba;
    std::uint8_t reserved2[2];
    std::uint8_t pmi;
    std::uint8_t control;
};
static_assert(sizeof(ReadCapacityCdb) == 10);
inline constexpr std::uint8_t kReadCapacityPmi = 0x01;

struct Rw10Cdb {  // READ, WRITE, SEEK, WRITE AND VERIFY, VERIFY, SYNCHRONIZE CACHE (10)
    std::uint8_t opcode;
    std::uint8_t flags;  // DPO, FUA, BytChk ...
    Be32 lba;
    std::uint8_t group;
    Be16 length;
    std::uint8_t control;
};
static_assert(sizeof(Rw10Cdb) == 10);
inline constexpr std::uint8_t kVerifyBytChk = 0x02;

struct Rw12Cdb {  // READ, WRITE, WRITE AND VERIFY, VERIFY (12)
    std::uint8_t opcode;
    std::uint8_t flags;
    Be32 lba;
    Be32 length;
    std::uint8_t flags2;  // Streaming
    std::uint8_t control;
};
static_assert(sizeof(Rw12Cdb) == 12);

struct BufferCdb {  // READ BUFFER, WRITE BUFFER
    std::uint8_t opcode;
    std::uint8_t mode;
    std::uint8_t buffer_id;
    Be24 offset;
    Be24 length;
    std::uint8_t control;
};
static_assert(sizeof(BufferCdb) == 10);
inline constexpr std::uint8_t kBufferModeMask = 0x1F;
inline constexpr std::uint8_t kBufferModeData = 0x02;
inline constexpr std::uint8_t kBufferModeDescriptor = 0x03;

struct ReadTocCdb {
    std::uint8_t opcode;
    std::uint8_t flags;   // MSF
    std::uint8_t format;  // format (3-0)
    std::uint8_t reserved[3];
    std::uint8_t track;
    Be16 allocation;
    std::uint8_t control;  // the old place of the format: bits 7-6
};
static_assert(sizeof(ReadTocCdb) == 10);
inline constexpr std::uint8_t kTocMsf = 0x02;

struct GetConfigurationCdb {
    std::uint8_t opcode;
    std::uint8_t rt;
    Be16 start_feature;
    std::uint8_t reserved[3];
    Be16 allocation;
    std::uint8_t control;
};
static_assert(sizeof(GetConfigurationCdb) == 10);

struct EventStatusCdb {
    std::uint8_t opcode;
    std::uint8_t flags;  // Polled
    std::uint8_t reserved1[2];
    std::uint8_t class_request;
    std::uint8_t reserved2[2];
    Be16 allocation;
    std::uint8_t control;
};
static_assert(sizeof(EventStatusCdb) == 10);
inline constexpr std::uint8_t kEventPolled = 0x01;

struct ModeSense10Cdb {
    std::uint8_t opcode;
    std::uint8_t flags;  // LLBAA, DBD
    std::uint8_t page;
    std::uint8_t subpage;
    std::uint8_t reserved[3];
    Be16 allocation;
    std::uint8_t control;
};
static_assert(sizeof(ModeSense10Cdb) == 10);

struct ReadTrackInfoCdb {
    std::uint8_t opcode;
    std::uint8_t type;  // address/number type (1-0)
    Be32 number;
    std::uint8_t reserved;
    Be16 allocation;
    std::uint8_t control;
};
static_assert(sizeof(ReadTrackInfoCdb) == 10);

struct CloseTrackCdb {
    std::uint8_t opcode;
    std::uint8_t immed;
    std::uint8_t function;  // close function (2-0)
    std::uint8_t reserved1;
    Be16 number;
    std::uint8_t reserved2[3];
    std::uint8_t control;
};
static_assert(sizeof(CloseTrackCdb) == 10);
inline constexpr std::uint8_t kCloseFunctionMask = 0x07;

struct KeyCdb {  // SEND KEY, REPORT KEY
    std::uint8_t opcode;
    std::uint8_t reserved1;
    Be32 lba;
    std::uint8_t reserved2;
    std::uint8_t key_class;
    Be16 length;
    std::uint8_t agid_format;  // AGID (7-6), key format (5-0)
    std::uint8_t control;
};
static_assert(sizeof(KeyCdb) == 12);
inline constexpr std::uint8_t kKeyFormatMask = 0x3F;

struct GetPerformanceCdb {
    std::uint8_t opcode;
    std::uint8_t data_type;  // for type 0: tolerance (4-3), Write (2), Except (1-0)
    Be32 lba;
    std::uint8_t reserved[2];
    Be16 max_descriptors;
    std::uint8_t type;
    std::uint8_t control;
};
static_assert(sizeof(GetPerformanceCdb) == 12);
inline constexpr std::uint8_t kPerfToleranceMask = 0x18;
inline constexpr std::uint8_t kPerfToleranceNominal = 0x10;
inline constexpr std::uint8_t kPerfWrite = 0x04;
inline constexpr std::uint8_t kPerfExceptMask = 0x03;

struct ReadDvdStructureCdb {
    std::uint8_t opcode;
    std::uint8_t media_type;  // sub-command (3-0): 0 = DVD
    Be32 address;
    std::uint8_t layer;
    std::uint8_t format;
    Be16 allocation;
    std::uint8_t agid;
    std::uint8_t control;
};
static_assert(sizeof(ReadDvdStructureCdb) == 12);

struct MechanismStatusCdb {
    std::uint8_t opcode;
    std::uint8_t reserved1[7];
    Be16 allocation;
    std::uint8_t reserved2;
    std::uint8_t control;
};
static_assert(sizeof(MechanismStatusCdb) == 12);

// ---- sense --------------------------------------------------------------------------------------

struct FixedSense {
    std::uint8_t response_code;  // Valid (7), 0x70
    std::uint8_t obsolete;
    std::uint8_t sense_key;
    Be32 information;
    std::uint8_t additional_length;
    Be32 command_specific;
    std::uint8_t asc;
    std::uint8_t ascq;
    std::uint8_t fru;
    std::uint8_t sks0;  // SKSV (7)
    Be16 sks;           // progress indication while formatting
};
static_assert(sizeof(FixedSense) == 18);
inline constexpr std::uint8_t kSenseCurrentFixed = 0x70;
inline constexpr std::uint8_t kSenseValid = 0x80;
inline constexpr std::uint8_t kSenseSksv = 0x80;

// ---- INQUIRY ------------------------------------------------------------------------------------

struct StandardInquiry {
    std::uint8_t device_type;
    std::uint8_t rmb;
    std::uint8_t version;
    std::uint8_t response_format;
    std::uint8_t additional_length;
    std::uint8_t flags[3];
    char vendor[8];
    char product[16];
    char revision[4];
};
static_assert(sizeof(StandardInquiry) == 36);
inline constexpr std::uint8_t kDeviceTypeMmc = 0x05;
inline constexpr std::uint8_t kInquiryRmb = 0x80;

struct VpdHeader {
    std::uint8_t device_type;
    std::uint8_t page;
    Be16 length;
};
static_assert(sizeof(VpdHeader) == 4);

// ---- capacity -----------------------------------------------------------------------------------

struct ReadCapacityData {
    Be32 last_lba;
    Be32 block_length;
};
static_assert(sizeof(ReadCapacityData) == 8);

struct CapacityListHeader {
    std::uint8_t reserved[3];
    std::uint8_t list_length;
};
static_assert(sizeof(CapacityListHeader) == 4);

struct CapacityDescriptor {  // current/maximum and formattable capacity descriptors
    Be32 blocks;
    std::uint8_t type;  // descriptor type (1-0), or format type (7-2)
    Be24 parameter;     // block length
};
static_assert(sizeof(CapacityDescriptor) == 8);
inline constexpr std::uint8_t kCapacityFormatted = 0x02;
inline constexpr std::uint8_t kCapacityNoMedium = 0x03;

// ---- FORMAT UNIT parameter list -----------------------------------------------------------------

struct FormatListHeader {
    std::uint8_t reserved;
    std::uint8_t flags;  // FOV, DPRY, DCRT, STPF, IP, DSP, Immed, VS
    Be16 descriptor_length;
};
static_assert(sizeof(FormatListHeader) == 4);
inline constexpr std::uint8_t kFormatFov = 0x80;
inline constexpr std::uint8_t kFormatFovBits = 0x7C;  // DPRY, DCRT, STPF, IP, DSP: only valid with FOV
inline constexpr std::uint8_t kFormatDcrt = 0x20;
inline constexpr std::uint8_t kFormatIp = 0x08;

struct FormatDescriptor {
    Be32 blocks;
    std::uint8_t type;  // format type (7-2)
    Be24 parameter;     // block length for format type 0
};
static_assert(sizeof(FormatDescriptor) == 8);

// ---- mode pages ---------------------------------------------------------------------------------

struct ModeHeader6 {
    std::uint8_t data_length;
    std::uint8_t medium_type;
    std::uint8_t device_specific;
    std::uint8_t block_descriptor_length;
};
static_assert(sizeof(ModeHeader6) == 4);

struct ModeHeader10 {
    Be16 data_length;
    std::uint8_t medium_type;
    std::uint8_t device_specific;
    std::uint8_t reserved[2];
    Be16 block_descriptor_length;
};
static_assert(sizeof(ModeHeader10) == 8);

struct ModePageHeader {
    std::uint8_t code;  // PS (7), SPF (6), page code (5-0)
    std::uint8_t length;
};
static_assert(sizeof(ModePageHeader) == 2);
inline constexpr std::uint8_t kModePageCodeMask = 0x3F;

struct ErrorRecoveryPage {
    ModePageHeader header;
    std::uint8_t flags;  // AWRE, ARRE, TB, RC, PER, DTE, DCR
    std::uint8_t read_retry_count;
    std::uint8_t reserved1[3];
    std::uint8_t emcdr;
    std::uint8_t write_retry_count;
    std::uint8_t reserved2;
    Be16 recovery_time_limit;
};
static_assert(sizeof(ErrorRecoveryPage) == 12);

struct WriteSpeedDescriptor {
    std::uint8_t reserved;
    std::uint8_t rotation_control;
    Be16 write_speed;
};
static_assert(sizeof(WriteSpeedDescriptor) == 4);

struct CapabilitiesPage {
    ModePageHeader header;
    std::uint8_t read_flags;     // DVD-RAM, DVD-R, DVD-ROM read ...
    std::uint8_t write_flags;    // DVD-RAM, DVD-R write ...
    std::uint8_t media_flags;    // BUF, multi-session, mode 2 ...
    std::uint8_t cd_flags;
    std::uint8_t loading;        // mechanism type (7-5), Eject, Prevent jumper, Lock state, Lock
    std::uint8_t changer_flags;
    Be16 max_read_speed;
    Be16 volume_levels;
    Be16 buffer_kib;
    Be16 current_read_speed;
    std::uint8_t reserved1;
    std::uint8_t digital_output;
    Be16 max_write_speed;
    Be16 current_write_speed;
    Be16 copy_management_revision;
    std::uint8_t reserved2[3];
    std::uint8_t rotation_control;
    Be16 selected_write_speed;
    Be16 write_speed_descriptors;
    WriteSpeedDescriptor speed;
};
static_assert(sizeof(CapabilitiesPage) == 36);
inline constexpr std::uint8_t kCapReadDvdRam = 0x20;
inline constexpr std::uint8_t kCapReadDvdRom = 0x08;
inline constexpr std::uint8_t kCapWriteDvdRam = 0x20;
inline constexpr std::uint8_t kCapEject = 0x08;
inline constexpr std::uint8_t kCapLockState = 0x02;
inline constexpr std::uint8_t kCapLock = 0x01;

// ---- GET CONFIGURATION --------------------------------------------------------------------------

struct FeatureHeader {
    Be32 data_length;
    std::uint8_t reserved[2];
    Be16 current_profile;
};
static_assert(sizeof(FeatureHeader) == 8);

struct FeatureDescriptorHeader {
    Be16 code;
    std::uint8_t flags;  // version (5-2), Persistent, Current
    std::uint8_t additional_length;
};
static_assert(sizeof(FeatureDescriptorHeader) == 4);
inline constexpr std::uint8_t kFeaturePersistent = 0x02;
inline constexpr std::uint8_t kFeatureCurrent = 0x01;

struct ProfileDescriptor {
    Be16 profile;
    std::uint8_t current;  // CurrentP (0)
    std::uint8_t reserved;
};
static_assert(sizeof(ProfileDescriptor) == 4);

struct CoreFeature {
    Be32 physical_interface;
    std::uint8_t flags;  // INQ2, DBE
    std::uint8_t reserved[3];
};
static_assert(sizeof(CoreFeature) == 8);

struct FourByteFeature {  // Morphing, Removable Medium, DVD Read
    std::uint8_t flags;
    std::uint8_t reserved[3];
};
static_assert(sizeof(FourByteFeature) == 4);

struct RandomReadableFeature {
    Be32 block_size;
    Be16 blocking;
    std::uint8_t flags;  // PP
    std::uint8_t reserved;
};
static_assert(sizeof(RandomReadableFeature) == 8);

struct RandomWritableFeature {
    Be32 last_lba;
    Be32 block_size;
    Be16 blocking;
    std::uint8_t flags;  // PP
    std::uint8_t reserved;
};
static_assert(sizeof(RandomWritableFeature) == 12);

// ---- GET EVENT STATUS NOTIFICATION --------------------------------------------------------------

struct EventHeader {
    Be16 length;            // bytes after this field
    std::uint8_t nea_class; // NEA (7), notification class (2-0)
    std::uint8_t supported;
};
static_assert(sizeof(EventHeader) == 4);
inline constexpr std::uint8_t kEventNea = 0x80;

struct MediaEvent {
    std::uint8_t code;
    std::uint8_t status;  // Media Present (1), Door open (0)
    std::uint8_t start_slot;
    std::uint8_t end_slot;
};
static_assert(sizeof(MediaEvent) == 4);
inline constexpr std::uint8_t kMediaPresent = 0x02;

// ---- disc, track and TOC ------------------------------------------------------------------------

struct DiscInformation {
    Be16 length;
    std::uint8_t status;  // data type (7-5), Erasable, last session state (3-2), disc status (1-0)
    std::uint8_t first_track;
    std::uint8_t sessions_lsb;
    std::uint8_t first_track_last_session_lsb;
    std::uint8_t last_track_last_session_lsb;
    std::uint8_t valid_flags;  // DID_V, DBC_V, URU, DAC_V, BG format status
    std::uint8_t disc_type;
    std::uint8_t sessions_msb;
    std::uint8_t first_track_last_session_msb;
    std::uint8_t last_track_last_session_msb;
    Be32 disc_id;
    Be32 last_lead_in;
    Be32 last_lead_out;
    std::uint8_t bar_code[8];
    std::uint8_t application_code;
    std::uint8_t opc_tables;
};
static_assert(sizeof(DiscInformation) == 34);

struct TrackInformation {
    Be16 length;
    std::uint8_t track_lsb;
    std::uint8_t session_lsb;
    std::uint8_t reserved1;
    std::uint8_t track_mode;  // Damage, Copy, track mode (3-0)
    std::uint8_t data_mode;   // RT, Blank, Packet, FP, data mode (3-0)
    std::uint8_t valid;       // LRA_V, NWA_V
    Be32 start;
    Be32 next_writable;
    Be32 free_blocks;
    Be32 blocking;
    Be32 size;
    Be32 last_recorded;
    std::uint8_t track_msb;
    std::uint8_t session_msb;
    std::uint8_t reserved2[2];
    Be32 read_compatibility;
    Be32 next_layer_jump;
    Be32 last_layer_jump;
};
static_assert(sizeof(TrackInformation) == 48);

struct TocHeader {
    Be16 length;  // bytes after this field
    std::uint8_t first;
    std::uint8_t last;
};
static_assert(sizeof(TocHeader) == 4);

struct TocDescriptor {
    std::uint8_t reserved1;
    std::uint8_t adr_control;
    std::uint8_t track;
    std::uint8_t reserved2;
    std::uint8_t address[4];  // an LBA (Be32) or 0, M, S, F
};
static_assert(sizeof(TocDescriptor) == 8);

// ---- GET PERFORMANCE ----------------------------------------------------------------------------

struct PerformanceHeader {
    Be32 length;  // bytes after this field
    std::uint8_t flags;  // Write, Except
    std::uint8_t reserved[3];
};
static_assert(sizeof(PerformanceHeader) == 8);

struct PerformanceDescriptor {
    Be32 start_lba;
    Be32 start_performance;
    Be32 end_lba;
    Be32 end_performance;
};
static_assert(sizeof(PerformanceDescriptor) == 16);

struct WriteSpeedPerformance {
    std::uint8_t flags;  // WRC, RDD, Exact, MRW
    std::uint8_t reserved[3];
    Be32 end_lba;
    Be32 read_speed;
    Be32 write_speed;
};
static_assert(sizeof(WriteSpeedPerformance) == 16);

// ---- READ DVD STRUCTURE -------------------------------------------------------------------------

struct DvdStructureHeader {
    Be16 length;  // bytes after this field
    std::uint8_t reserved[2];
};
static_assert(sizeof(DvdStructureHeader) == 4);

struct PhysicalFormat {  // the first 17 bytes of the 2048 bytes of physical format information
    std::uint8_t book;       // book type (7-4), part version (3-0)
    std::uint8_t size_rate;  // disc size (7-4), maximum rate (3-0)
    std::uint8_t structure;  // layers (6-5), track path (4), layer type (3-0)
    std::uint8_t density;    // linear (7-4), track (3-0)
    Be32 data_start;
    Be32 data_end;
    Be32 layer0_end;
    std::uint8_t bca;
};
static_assert(sizeof(PhysicalFormat) == 17);
inline constexpr std::size_t kPhysicalFormatBytes = 2048;

struct CopyrightInformation {
    std::uint8_t protection_system;
    std::uint8_t region_management;
    std::uint8_t reserved[2];
};
static_assert(sizeof(CopyrightInformation) == 4);

struct StructureListEntry {
    std::uint8_t format;
    std::uint8_t flags;  // SDS (7), RDS (6)
    Be16 length;
};
static_assert(sizeof(StructureListEntry) == 4);
inline constexpr std::uint8_t kStructureReadable = 0x40;

// ---- keys, mechanism, buffer --------------------------------------------------------------------

struct RpcState {
    Be16 length;  // bytes after this field
    std::uint8_t reserved1[2];
    std::uint8_t state;  // type code (7-6), vendor resets (5-3), user changes (2-0)
    std::uint8_t region_mask;
    std::uint8_t scheme;
    std::uint8_t reserved2;
};
static_assert(sizeof(RpcState) == 8);

struct MechanismStatusHeader {
    std::uint8_t slot_low;   // Fault, changer state, current slot
    std::uint8_t mechanism;  // mechanism state (7-5), door open (4), current slot high
    Be24 current_lba;
    std::uint8_t slots;
    Be16 slot_table_length;
};
static_assert(sizeof(MechanismStatusHeader) == 8);

struct BufferDescriptor {
    std::uint8_t offset_boundary;
    Be24 capacity;
};
static_assert(sizeof(BufferDescriptor) == 4);

}  // namespace camera::wire
