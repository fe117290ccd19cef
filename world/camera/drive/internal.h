// What the drive's two source files share: the sense codes it answers with and its fixed numbers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "camera/drive/drive.h"

namespace camera::internal {

inline constexpr SenseCode kNoSense{0x00, 0x00, 0x00};
inline constexpr SenseCode kFormatInProgress{0x02, 0x04, 0x04};
inline constexpr SenseCode kNoMedium{0x02, 0x3A, 0x00};
inline constexpr SenseCode kWriteError{0x03, 0x0C, 0x00};
inline constexpr SenseCode kReadError{0x03, 0x11, 0x00};
inline constexpr SenseCode kFormatFailed{0x03, 0x31, 0x01};
inline constexpr SenseCode kParameterListLength{0x05, 0x1A, 0x00};
inline constexpr SenseCode kInvalidOpcode{0x05, 0x20, 0x00};
inline constexpr SenseCode kLbaOutOfRange{0x05, 0x21, 0x00};
inline constexpr SenseCode kInvalidField{0x05, 0x24, 0x00};
inline constexpr SenseCode kInvalidParameter{0x05, 0x26, 0x00};
inline constexpr SenseCode kSequenceError{0x05, 0x2C, 0x00};
inline constexpr SenseCode kSavingNotSupported{0x05, 0x39, 0x00};
inline constexpr SenseCode kRemovalPrevented{0x05, 0x53, 0x02};
inline constexpr SenseCode kIllegalTrackMode{0x05, 0x64, 0x00};
inline constexpr SenseCode kMediumChanged{0x06, 0x28, 0x00};
inline constexpr SenseCode kPowerOnReset{0x06, 0x29, 0x00};
inline constexpr SenseCode kDataPhaseError{0x0B, 0x4B, 0x00};

inline constexpr std::uint16_t kProfileDvdRom = 0x0010;
inline constexpr std::uint16_t kProfileDvdRam = 0x0012;

// Speeds in kB/s (1000 bytes): the drive reads and writes DVD-RAM at 2x, 1x being 1,385,000 bytes/s.
inline constexpr std::uint32_t kDvd1xBytesPerSecond = 1'385'000;
inline constexpr std::uint32_t kSpeedFactor = 2;
inline constexpr std::uint32_t kSpeedKBps = kDvd1xBytesPerSecond * kSpeedFactor / 1000;

// A 4.7 GB disc, what READ FORMAT CAPACITIES reports as the most the drive can take with no disc in.
inline constexpr std::uint32_t kMaxDiscBlocks = 2'295'104;
// Discs up to this size are the 8 cm kind (1.46 GB a side).
inline constexpr std::uint32_t kEightCmMaxBlocks = 712'880;
// DVD ECC blocks hold 16 sectors.
inline constexpr std::uint16_t kEccBlocking = 16;

inline constexpr std::uint32_t kBufferBytes = 2 * 1024 * 1024;

// Events of the media class of GET EVENT STATUS NOTIFICATION.
inline constexpr std::uint8_t kMediaClass = 4;
inline constexpr std::uint8_t kEventNoChange = 0;
inline constexpr std::uint8_t kEventEjectRequest = 1;
inline constexpr std::uint8_t kEventNewMedia = 2;
inline constexpr std::uint8_t kEventMediaRemoval = 3;

// The reply to a data-in command: the bytes the drive has, cut to the host's allocation length.
inline Reply DataIn(std::vector<std::uint8_t> bytes, std::uint32_t allocation) {
    Reply reply;
    bytes.resize(std::min<std::size_t>(bytes.size(), allocation));
    if (!bytes.empty()) {
        reply.direction = Direction::In;
        reply.data = std::move(bytes);
    }
    return reply;
}

}  // namespace camera::internal
