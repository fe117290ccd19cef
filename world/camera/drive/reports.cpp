// The commands that report what the drive is and what disc it holds, and the mode pages.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "camera/drive/drive.h"
#include "camera/drive/internal.h"
#include "camera/drive/wire.h"

namespace camera {

using namespace internal;

namespace {

struct Identity {
    std::string_view vendor;
    std::string_view product;
    std::string_view serial;
};

Identity IdentityOf(Model model) {
    switch (model) {
    case Model::RcTvqr1: return {"KESTREL ", "RC-TVQR1", "KRC1A0041207"};
    case Model::QcrM10: return {"ORVANTEC", "DVD-RAM QCR-M10", "OQM10B021783"};
    case Model::DvdRamTvQr2: return {"KESTREL ", "DVD-RAM TV-QR2", "KTQ2A0013095"};
    case Model::QcrM20: return {"ORVANTEC", "DVD-RAM QCR-M20", "OQM20C004411"};
    }
    return {};
}

constexpr std::string_view kRevision = "1.00";

// Copies `text` into a space-padded field.
template <std::size_t N>
void SetText(char (&field)[N], std::string_view text) {
    std::memset(field, ' ', N);
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

constexpr std::uint8_t kVpdSupportedPages = 0x00;
constexpr std::uint8_t kVpdSerialNumber = 0x80;

// Mode pages.
constexpr std::uint8_t kPageErrorRecovery = 0x01;
constexpr std::uint8_t kPageCapabilities = 0x2A;
constexpr std::uint8_t kPageAll = 0x3F;
constexpr std::uint8_t kControlCurrent = 0;
constexpr std::uint8_t kControlChangeable = 1;
constexpr std::uint8_t kControlSaved = 3;
constexpr std::uint8_t kAllSubpages = 0xFF;
constexpr std::uint8_t kOpModeSelect10 = 0x55;
// AWRE, ARRE and PER can be changed, and both retry counts.
constexpr std::uint8_t kRecoveryChangeableFlags = 0xC4;
constexpr std::uint8_t kRecoveryDefaultFlags = 0xC0;  // AWRE, ARRE: the drive reallocates defects itself
constexpr std::uint8_t kDefaultRetries = 16;

// GET CONFIGURATION.
constexpr std::uint8_t kRtAll = 0;
constexpr std::uint8_t kRtCurrent = 1;
constexpr std::uint8_t kRtOne = 2;
constexpr std::uint32_t kInterfaceUsb = 8;
constexpr std::uint8_t kLoadingCaddySlot = 0 << 5;
constexpr std::uint8_t kRemovableEject = 0x08;
constexpr std::uint8_t kRemovableLock = 0x01;
constexpr std::uint8_t kPagePresent = 0x01;

struct Feature {
    std::uint16_t code;
    bool current;
    std::vector<std::uint8_t> bytes;
};

template <class Body>
Feature MakeFeature(std::uint16_t code, std::uint8_t version, bool persistent, bool current, const Body& body) {
    wire::FeatureDescriptorHeader header{};
    header.code.Set(code);
    header.flags = static_cast<std::uint8_t>(version << 2 | (persistent ? wire::kFeaturePersistent : 0) |
                                             (current ? wire::kFeatureCurrent : 0));
    header.additional_length = sizeof(Body);
    Feature feature{code, current, {}};
    wire::Put(feature.bytes, header);
    wire::Put(feature.bytes, body);
    return feature;
}

// TOC.
constexpr std::uint8_t kTocFormatToc = 0;
constexpr std::uint8_t kTocFormatSession = 1;
constexpr std::uint8_t kAdrControlData = 0x14;  // ADR 1 (position), data track recorded uninterrupted
constexpr std::uint8_t kLeadOutTrack = 0xAA;

wire::TocDescriptor TocEntry(std::uint8_t track, std::uint32_t lba, bool msf) {
    wire::TocDescriptor d{};
    d.adr_control = kAdrControlData;
    d.track = track;
    if (msf) {
        // Minutes past 255 (a DVD's end) have no encoding; such addresses read as the largest one.
        constexpr std::uint32_t kFramesPerSecond = 75;
        constexpr std::uint32_t kLeadInFrames = 150;
        constexpr std::uint32_t kMaxFrames = (255 * 60 + 59) * kFramesPerSecond + 74;
        std::uint32_t frames = std::min(lba + kLeadInFrames, kMaxFrames);
        d.address[1] = static_cast<std::uint8_t>(frames / (60 * kFramesPerSecond));
        d.address[2] = static_cast<std::uint8_t>(frames / kFramesPerSecond % 60);
        d.address[3] = static_cast<std::uint8_t>(frames % kFramesPerSecond);
    } else {
        wire::Be32 address;
        address.Set(lba);
        std::memcpy(d.address, address.b, sizeof(d.address));
    }
    return d;
}

// DVD structures.
constexpr std::uint8_t kStructurePhysical = 0x00;
constexpr std::uint8_t kStructureCopyright = 0x01;
constexpr std::uint8_t kStructureList = 0xFF;
constexpr std::uint8_t kBookDvdRam = 0x1 << 4 | 0x6;    // DVD-RAM, the 4.7 GB generation
constexpr std::uint8_t kRateUnspecified = 0x0F;
constexpr std::uint8_t kSize80mm = 0x1 << 4;
constexpr std::uint8_t kLayerRewritable = 0x04;
constexpr std::uint8_t kDensityDvdRam = 0x4 << 4 | 0x2;  // 0.280-0.291 um/bit, 0.615 um/track
constexpr std::uint32_t kDataStartSector = 0x031000;

}  // namespace

// ---- INQUIRY ------------------------------------------------------------------------------------

Reply Drive::Inquiry(const Cdb& cdb) {
    auto c = wire::Take<wire::InquiryCdb>(cdb.bytes.data());
    Identity id = IdentityOf(options_.model);
    std::vector<std::uint8_t> out;
    if (!(c.flags & wire::kInquiryEvpd)) {
        if (c.page != 0) {
            return Fail(kInvalidField);
        }
        wire::StandardInquiry inquiry{};
        inquiry.device_type = wire::kDeviceTypeMmc;
        inquiry.rmb = wire::kInquiryRmb;
        inquiry.response_format = 0x02;
        inquiry.additional_length = sizeof(inquiry) - 5;
        SetText(inquiry.vendor, id.vendor);
        SetText(inquiry.product, id.product);
        SetText(inquiry.revision, kRevision);
        wire::Put(out, inquiry);
        return DataIn(std::move(out), c.allocation.Get());
    }
    std::vector<std::uint8_t> page;
    if (c.page == kVpdSupportedPages) {
        page = {kVpdSupportedPages, kVpdSerialNumber};
    } else if (c.page == kVpdSerialNumber) {
        page.assign(id.serial.begin(), id.serial.end());
    } else {
        return Fail(kInvalidField);
    }
    wire::VpdHeader header{};
    header.device_type = wire::kDeviceTypeMmc;
    header.page = c.page;
    header.length.Set(static_cast<std::uint16_t>(page.size()));
    wire::Put(out, header);
    out.insert(out.end(), page.begin(), page.end());
    return DataIn(std::move(out), c.allocation.Get());
}

// ---- mode pages ---------------------------------------------------------------------------------

Drive::ErrorRecovery Drive::DefaultRecovery() { return {kRecoveryDefaultFlags, kDefaultRetries, kDefaultRetries}; }

std::vector<std::uint8_t> Drive::ModePage(std::uint8_t code, std::uint8_t control) const {
    std::vector<std::uint8_t> out;
    bool changeable = control == kControlChangeable;
    if (code == kPageErrorRecovery) {
        ErrorRecovery values = changeable ? ErrorRecovery{kRecoveryChangeableFlags, 0xFF, 0xFF}
                               : control == kControlCurrent ? recovery_
                                                            : DefaultRecovery();
        wire::ErrorRecoveryPage page{};
        page.header = {kPageErrorRecovery, sizeof(page) - sizeof(page.header)};
        page.flags = values.flags;
        page.read_retry_count = values.read_retries;
        page.write_retry_count = values.write_retries;
        wire::Put(out, page);
    } else if (code == kPageCapabilities) {
        wire::CapabilitiesPage page{};
        page.header = {kPageCapabilities, sizeof(page) - sizeof(page.header)};
        if (!changeable) {
            page.read_flags = wire::kCapReadDvdRam | wire::kCapReadDvdRom;
            page.write_flags = wire::kCapWriteDvdRam;
            page.loading = kLoadingCaddySlot | wire::kCapEject | wire::kCapLock;
            if (control == kControlCurrent && prevent_) {
                page.loading |= wire::kCapLockState;
            }
            page.max_read_speed.Set(kSpeedKBps);
            page.buffer_kib.Set(kBufferBytes / 1024);
            page.current_read_speed.Set(kSpeedKBps);
            page.max_write_speed.Set(kSpeedKBps);
            page.current_write_speed.Set(kSpeedKBps);
            page.selected_write_speed.Set(kSpeedKBps);
            page.write_speed_descriptors.Set(1);
            page.speed.write_speed.Set(kSpeedKBps);
        }
        wire::Put(out, page);
    }
    return out;
}

Reply Drive::ModeSense(std::uint8_t page_byte, std::uint8_t subpage, std::uint32_t allocation, bool ten) {
    std::uint8_t control = page_byte >> 6;
    std::uint8_t code = page_byte & wire::kModePageCodeMask;
    if (control == kControlSaved) {
        return Fail(kSavingNotSupported);
    }
    if (subpage != 0 && subpage != kAllSubpages) {
        return Fail(kInvalidField);
    }
    std::vector<std::uint8_t> pages;
    if (code == kPageAll) {
        pages = ModePage(kPageErrorRecovery, control);
        std::vector<std::uint8_t> more = ModePage(kPageCapabilities, control);
        pages.insert(pages.end(), more.begin(), more.end());
    } else {
        pages = ModePage(code, control);
    }
    if (pages.empty()) {
        return Fail(kInvalidField);
    }
    // No block descriptors: MMC drives have none, whatever DBD says.
    std::vector<std::uint8_t> out;
    if (ten) {
        wire::ModeHeader10 header{};
        header.data_length.Set(static_cast<std::uint16_t>(sizeof(header) - 2 + pages.size()));
        wire::Put(out, header);
    } else {
        wire::ModeHeader6 header{};
        header.data_length = static_cast<std::uint8_t>(sizeof(header) - 1 + pages.size());
        wire::Put(out, header);
    }
    out.insert(out.end(), pages.begin(), pages.end());
    return DataIn(std::move(out), allocation);
}

Reply Drive::ModeSense6(const Cdb& cdb) {
    auto c = wire::Take<wire::ModeSense6Cdb>(cdb.bytes.data());
    return ModeSense(c.page, c.subpage, c.allocation, false);
}

Reply Drive::ModeSense10(const Cdb& cdb) {
    auto c = wire::Take<wire::ModeSense10Cdb>(cdb.bytes.data());
    return ModeSense(c.page, c.subpage, c.allocation.Get(), true);
}

Reply Drive::ModeSelect(const Cdb& cdb, std::uint8_t flags, std::uint32_t length) {
    // Page format is the only format; nothing is saved across power cycles.
    if (!(flags & wire::kModeSelectPf) || (flags & wire::kModeSelectSp)) {
        return Fail(kInvalidField);
    }
    return ExpectOut(&Drive::ModeSelectData, cdb, length);
}

Reply Drive::ModeSelect6(const Cdb& cdb) {
    auto c = wire::Take<wire::Cdb6Alloc>(cdb.bytes.data());
    return ModeSelect(cdb, c.flags, c.length);
}

Reply Drive::ModeSelect10(const Cdb& cdb) {
    auto c = wire::Take<wire::Cdb10Alloc>(cdb.bytes.data());
    return ModeSelect(cdb, c.flags, c.length.Get());
}

bool Drive::ModeSelectData(const Cdb& cdb, const std::uint8_t* data) {
    bool ten = cdb.bytes[0] == kOpModeSelect10;
    std::size_t length;
    std::size_t offset;
    std::size_t descriptors;
    if (ten) {
        length = wire::Take<wire::Cdb10Alloc>(cdb.bytes.data()).length.Get();
        offset = sizeof(wire::ModeHeader10);
        if (length < offset) {
            return FailOut(kParameterListLength, std::nullopt);
        }
        descriptors = wire::Take<wire::ModeHeader10>(data).block_descriptor_length.Get();
    } else {
        length = wire::Take<wire::Cdb6Alloc>(cdb.bytes.data()).length;
        offset = sizeof(wire::ModeHeader6);
        if (length < offset) {
            return FailOut(kParameterListLength, std::nullopt);
        }
        descriptors = wire::Take<wire::ModeHeader6>(data).block_descriptor_length;
    }
    if (descriptors != 0) {
        return FailOut(kInvalidParameter, std::nullopt);
    }
    // Every page is checked before any takes effect; only the changeable bits may differ from the
    // current values.
    ErrorRecovery next = recovery_;
    while (offset < length) {
        if (length - offset < sizeof(wire::ModePageHeader)) {
            return FailOut(kParameterListLength, std::nullopt);
        }
        auto header = wire::Take<wire::ModePageHeader>(data + offset);
        std::size_t size = sizeof(header) + header.length;
        if (size > length - offset) {
            return FailOut(kParameterListLength, std::nullopt);
        }
        std::uint8_t code = header.code & wire::kModePageCodeMask;
        std::vector<std::uint8_t> current = ModePage(code, kControlCurrent);
        std::vector<std::uint8_t> changeable = ModePage(code, kControlChangeable);
        if (current.size() != size) {
            return FailOut(kInvalidParameter, std::nullopt);
        }
        const std::uint8_t* sent = data + offset;
        for (std::size_t i = sizeof(header); i < size; ++i) {
            if ((sent[i] ^ current[i]) & ~changeable[i]) {
                return FailOut(kInvalidParameter, std::nullopt);
            }
        }
        if (code == kPageErrorRecovery) {
            auto page = wire::Take<wire::ErrorRecoveryPage>(sent);
            next = {page.flags, page.read_retry_count, page.write_retry_count};
        }
        offset += size;
    }
    recovery_ = next;
    return true;
}

// ---- capacity -----------------------------------------------------------------------------------

Reply Drive::ReadFormatCapacities(const Cdb& cdb) {
    auto c = wire::Take<wire::Cdb10Alloc>(cdb.bytes.data());
    std::vector<wire::CapacityDescriptor> descriptors;
    wire::CapacityDescriptor current{};
    current.parameter.Set(kBlockSize);
    if (image_) {
        // A DVD-RAM disc is formatted when it is made; it can be formatted again in full.
        current.blocks.Set(image_->blocks);
        current.type = wire::kCapacityFormatted;
        descriptors.push_back(current);
        wire::CapacityDescriptor full = current;
        full.type = 0x00 << 2;
        descriptors.push_back(full);
    } else {
        current.blocks.Set(kMaxDiscBlocks);
        current.type = wire::kCapacityNoMedium;
        descriptors.push_back(current);
    }
    wire::CapacityListHeader header{};
    header.list_length = static_cast<std::uint8_t>(descriptors.size() * sizeof(wire::CapacityDescriptor));
    std::vector<std::uint8_t> out;
    wire::Put(out, header);
    for (const auto& d : descriptors) {
        wire::Put(out, d);
    }
    return DataIn(std::move(out), c.length.Get());
}

Reply Drive::ReadCapacity(const Cdb& cdb) {
    auto c = wire::Take<wire::ReadCapacityCdb>(cdb.bytes.data());
    if (!(c.pmi & wire::kReadCapacityPmi) && c.lba.Get() != 0) {
        return Fail(kInvalidField);
    }
    wire::ReadCapacityData data{};
    data.last_lba.Set(image_->blocks - 1);
    data.block_length.Set(kBlockSize);
    std::vector<std::uint8_t> out;
    wire::Put(out, data);
    return DataIn(std::move(out), sizeof(data));
}

// ---- TOC, disc and track ------------------------------------------------------------------------
// To a host that reads a TOC, a DVD-RAM disc is one complete session holding one data track that
// covers the disc.

Reply Drive::ReadToc(const Cdb& cdb) {
    auto c = wire::Take<wire::ReadTocCdb>(cdb.bytes.data());
    std::uint8_t format = c.format & 0x0F;
    if (format == 0) {
        format = c.control >> 6;
    }
    bool msf = c.flags & wire::kTocMsf;
    std::vector<wire::TocDescriptor> entries;
    if (format == kTocFormatToc) {
        if (c.track > 1 && c.track != kLeadOutTrack) {
            return Fail(kInvalidField);
        }
        if (c.track <= 1) {
            entries.push_back(TocEntry(1, 0, msf));
        }
        entries.push_back(TocEntry(kLeadOutTrack, image_->blocks, msf));
    } else if (format == kTocFormatSession) {
        entries.push_back(TocEntry(1, 0, msf));
    } else {
        return Fail(kInvalidField);
    }
    wire::TocHeader header{};
    header.length.Set(static_cast<std::uint16_t>(2 + entries.size() * sizeof(wire::TocDescriptor)));
    header.first = 1;
    header.last = 1;
    std::vector<std::uint8_t> out;
    wire::Put(out, header);
    for (const auto& e : entries) {
        wire::Put(out, e);
    }
    return DataIn(std::move(out), c.allocation.Get());
}

Reply Drive::ReadDiscInformation(const Cdb& cdb) {
    auto c = wire::Take<wire::Cdb10Alloc>(cdb.bytes.data());
    if ((c.flags & 0x07) != 0) {
        return Fail(kInvalidField);
    }
    // Erasable; last session complete; disc status "others": random-writable, not sequential.
    constexpr std::uint8_t kErasable = 0x10;
    constexpr std::uint8_t kSessionComplete = 0x03 << 2;
    constexpr std::uint8_t kDiscRandomWritable = 0x03;
    wire::DiscInformation info{};
    info.length.Set(sizeof(info) - 2);
    info.status = kErasable | kSessionComplete | kDiscRandomWritable;
    info.first_track = 1;
    info.sessions_lsb = 1;
    info.first_track_last_session_lsb = 1;
    info.last_track_last_session_lsb = 1;
    // No lead-in or lead-out is left to write on a complete random-writable disc.
    info.last_lead_in.Set(0xFFFFFFFF);
    info.last_lead_out.Set(0xFFFFFFFF);
    std::vector<std::uint8_t> out;
    wire::Put(out, info);
    return DataIn(std::move(out), c.length.Get());
}

Reply Drive::ReadTrackInformation(const Cdb& cdb) {
    auto c = wire::Take<wire::ReadTrackInfoCdb>(cdb.bytes.data());
    constexpr std::uint8_t kByLba = 0;
    constexpr std::uint8_t kByTrack = 1;
    constexpr std::uint8_t kBySession = 2;
    std::uint8_t type = c.type & 0x03;
    std::uint32_t number = c.number.Get();
    bool found = (type == kByLba && number < image_->blocks) || (type == kByTrack && number == 1) ||
                 (type == kBySession && number == 1);
    if (!found) {
        return Fail(kInvalidField);
    }
    constexpr std::uint8_t kTrackModeData = 0x04;
    constexpr std::uint8_t kDataMode1 = 0x01;
    wire::TrackInformation info{};
    info.length.Set(sizeof(info) - 2);
    info.track_lsb = 1;
    info.session_lsb = 1;
    info.track_mode = kTrackModeData;
    info.data_mode = kDataMode1;
    info.blocking.Set(kEccBlocking);
    info.size.Set(image_->blocks);
    std::vector<std::uint8_t> out;
    wire::Put(out, info);
    return DataIn(std::move(out), c.allocation.Get());
}

// ---- GET CONFIGURATION --------------------------------------------------------------------------

Reply Drive::GetConfiguration(const Cdb& cdb) {
    auto c = wire::Take<wire::GetConfigurationCdb>(cdb.bytes.data());
    std::uint8_t rt = c.rt & 0x03;
    if (rt != kRtAll && rt != kRtCurrent && rt != kRtOne) {
        return Fail(kInvalidField);
    }
    bool disc = image_.has_value();
    std::uint16_t profile = disc ? kProfileDvdRam : 0;

    std::vector<std::uint8_t> profiles;
    for (std::uint16_t p : {kProfileDvdRam, kProfileDvdRom}) {
        wire::ProfileDescriptor d{};
        d.profile.Set(p);
        d.current = p == profile ? 1 : 0;
        wire::Put(profiles, d);
    }
    std::vector<Feature> features;
    Feature list{0x0000, true, {}};
    wire::FeatureDescriptorHeader list_header{};
    list_header.flags = wire::kFeaturePersistent | wire::kFeatureCurrent;
    list_header.additional_length = static_cast<std::uint8_t>(profiles.size());
    wire::Put(list.bytes, list_header);
    list.bytes.insert(list.bytes.end(), profiles.begin(), profiles.end());
    features.push_back(std::move(list));

    wire::CoreFeature core{};
    core.physical_interface.Set(kInterfaceUsb);
    features.push_back(MakeFeature(0x0001, 2, true, true, core));
    // Morphing: events by polling only, no operational change events.
    features.push_back(MakeFeature(0x0002, 1, true, true, wire::FourByteFeature{}));
    features.push_back(MakeFeature(0x0003, 0, true, true,
                                   wire::FourByteFeature{kLoadingCaddySlot | kRemovableEject | kRemovableLock, {}}));
    wire::RandomReadableFeature readable{};
    readable.block_size.Set(kBlockSize);
    readable.blocking.Set(kEccBlocking);
    readable.flags = kPagePresent;
    features.push_back(MakeFeature(0x0010, 0, false, disc, readable));
    features.push_back(MakeFeature(0x001F, 1, false, disc, wire::FourByteFeature{}));
    wire::RandomWritableFeature writable{};
    writable.last_lba.Set(disc ? image_->blocks - 1 : 0);
    writable.block_size.Set(kBlockSize);
    writable.blocking.Set(kEccBlocking);
    writable.flags = kPagePresent;
    features.push_back(MakeFeature(0x0020, 1, false, disc, writable));
    Feature formattable{0x0023, disc, {}};
    wire::FeatureDescriptorHeader formattable_header{};
    formattable_header.code.Set(0x0023);
    formattable_header.flags = disc ? wire::kFeatureCurrent : 0;
    wire::Put(formattable.bytes, formattable_header);
    features.push_back(std::move(formattable));

    std::uint16_t start = c.start_feature.Get();
    wire::FeatureHeader header{};
    header.current_profile.Set(profile);
    std::vector<std::uint8_t> out;
    wire::Put(out, header);
    for (const Feature& f : features) {
        bool wanted = rt == kRtOne ? f.code == start : f.code >= start && (rt == kRtAll || f.current);
        if (wanted) {
            out.insert(out.end(), f.bytes.begin(), f.bytes.end());
        }
    }
    header.data_length.Set(static_cast<std::uint32_t>(out.size() - 4));
    wire::PutAt(out, 0, header);
    return DataIn(std::move(out), c.allocation.Get());
}

// ---- GET EVENT STATUS NOTIFICATION --------------------------------------------------------------
// Polled only; the media class is the one class. An event leaves the queue once the host has
// received all of it.

Reply Drive::GetEventStatus(const Cdb& cdb) {
    auto c = wire::Take<wire::EventStatusCdb>(cdb.bytes.data());
    if (!(c.flags & wire::kEventPolled)) {
        return Fail(kInvalidField);
    }
    constexpr std::uint8_t kMediaClassBit = 1 << kMediaClass;
    wire::EventHeader header{};
    header.supported = kMediaClassBit;
    std::vector<std::uint8_t> out;
    if (!(c.class_request & kMediaClassBit)) {
        header.length.Set(sizeof(header) - 2);
        header.nea_class = wire::kEventNea;
        wire::Put(out, header);
        return DataIn(std::move(out), c.allocation.Get());
    }
    wire::MediaEvent event{};
    event.code = media_events_.empty() ? kEventNoChange : media_events_.front();
    event.status = image_ ? wire::kMediaPresent : 0;
    header.length.Set(sizeof(header) - 2 + sizeof(event));
    header.nea_class = kMediaClass;
    wire::Put(out, header);
    wire::Put(out, event);
    if (!media_events_.empty() && c.allocation.Get() >= out.size()) {
        media_events_.pop_front();
    }
    return DataIn(std::move(out), c.allocation.Get());
}

// ---- GET PERFORMANCE ----------------------------------------------------------------------------
// The drive runs at 2x (constant linear velocity) over the whole disc, reading and writing, and
// knows of no exceptions to that.

Reply Drive::GetPerformance(const Cdb& cdb) {
    auto c = wire::Take<wire::GetPerformanceCdb>(cdb.bytes.data());
    constexpr std::uint8_t kTypePerformance = 0x00;
    constexpr std::uint8_t kTypeWriteSpeed = 0x03;
    constexpr std::uint8_t kExceptReserved = 0x03;
    constexpr std::uint8_t kHeaderExcept = 0x01;
    constexpr std::uint8_t kHeaderWrite = 0x02;
    std::uint32_t last = image_->blocks - 1;
    wire::PerformanceHeader header{};
    std::vector<std::uint8_t> descriptors;
    if (c.type == kTypePerformance) {
        std::uint8_t except = c.data_type & wire::kPerfExceptMask;
        if ((c.data_type & wire::kPerfToleranceMask) != wire::kPerfToleranceNominal || except == kExceptReserved) {
            return Fail(kInvalidField);
        }
        header.flags = static_cast<std::uint8_t>((c.data_type & wire::kPerfWrite ? kHeaderWrite : 0) |
                                                 (except != 0 ? kHeaderExcept : 0));
        if (except == 0 && c.max_descriptors.Get() > 0) {
            wire::PerformanceDescriptor d{};
            d.start_performance.Set(kSpeedKBps);
            d.end_lba.Set(last);
            d.end_performance.Set(kSpeedKBps);
            wire::Put(descriptors, d);
        }
    } else if (c.type == kTypeWriteSpeed) {
        if (c.max_descriptors.Get() > 0) {
            wire::WriteSpeedPerformance d{};
            d.end_lba.Set(last);
            d.read_speed.Set(kSpeedKBps);
            d.write_speed.Set(kSpeedKBps);
            wire::Put(descriptors, d);
        }
    } else {
        return Fail(kInvalidField);
    }
    header.length.Set(static_cast<std::uint32_t>(sizeof(header) - 4 + descriptors.size()));
    std::vector<std::uint8_t> out;
    wire::Put(out, header);
    out.insert(out.end(), descriptors.begin(), descriptors.end());
    // The descriptor count, not a byte count, bounds this reply.
    auto size = static_cast<std::uint32_t>(out.size());
    return DataIn(std::move(out), size);
}

// ---- READ DVD STRUCTURE -------------------------------------------------------------------------
// Physical format information, copyright information (not protected) and the list of the two.

Reply Drive::ReadDvdStructure(const Cdb& cdb) {
    auto c = wire::Take<wire::ReadDvdStructureCdb>(cdb.bytes.data());
    if ((c.media_type & 0x0F) != 0) {
        return Fail(kInvalidField);
    }
    std::vector<std::uint8_t> body;
    if (c.format == kStructurePhysical) {
        if (c.layer != 0) {
            return Fail(kInvalidField);
        }
        wire::PhysicalFormat pfi{};
        pfi.book = kBookDvdRam;
        pfi.size_rate = static_cast<std::uint8_t>((image_->blocks <= kEightCmMaxBlocks ? kSize80mm : 0) |
                                                  kRateUnspecified);
        pfi.structure = kLayerRewritable;
        pfi.density = kDensityDvdRam;
        pfi.data_start.Set(kDataStartSector);
        pfi.data_end.Set(kDataStartSector + image_->blocks - 1);
        wire::Put(body, pfi);
        body.resize(wire::kPhysicalFormatBytes);
    } else if (c.format == kStructureCopyright) {
        wire::Put(body, wire::CopyrightInformation{});
    } else if (c.format == kStructureList) {
        const std::pair<std::uint8_t, std::size_t> kStructures[] = {
            {kStructurePhysical, wire::kPhysicalFormatBytes},
            {kStructureCopyright, sizeof(wire::CopyrightInformation)},
            {kStructureList, 3 * sizeof(wire::StructureListEntry)},
        };
        for (const auto& [format, length] : kStructures) {
            wire::StructureListEntry entry{};
            entry.format = format;
            entry.flags = wire::kStructureReadable;
            entry.length.Set(static_cast<std::uint16_t>(length + sizeof(wire::DvdStructureHeader)));
            wire::Put(body, entry);
        }
    } else {
        return Fail(kInvalidField);
    }
    wire::DvdStructureHeader header{};
    header.length.Set(static_cast<std::uint16_t>(body.size() + 2));
    std::vector<std::uint8_t> out;
    wire::Put(out, header);
    out.insert(out.end(), body.begin(), body.end());
    return DataIn(std::move(out), c.allocation.Get());
}

// ---- MECHANISM STATUS ---------------------------------------------------------------------------
// No changer: idle, lid closed, no slots; the current LBA is the last one read, written or sought.

Reply Drive::MechanismStatus(const Cdb& cdb) {
    auto c = wire::Take<wire::MechanismStatusCdb>(cdb.bytes.data());
    wire::MechanismStatusHeader header{};
    header.current_lba.Set(last_lba_);
    std::vector<std::uint8_t> out;
    wire::Put(out, header);
    return DataIn(std::move(out), c.allocation.Get());
}

}  // namespace camera
