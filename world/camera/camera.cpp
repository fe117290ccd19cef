#include "camera/camera.h"

#include <algorithm>
#include <cstring>

namespace camera {
namespace {

using usb::Result;

constexpr std::uint8_t kCommandBlockReset[] = {0x1D, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::uint8_t kVendorDescriptorType = 0xFF;
constexpr std::uint8_t kExtraPipePacket = 8;  // the extra interrupt pipes of test variants

Result Ack(std::uint32_t length = 0) { return Result{usb::Reply::Ack, length, 0}; }
Result Stall() { return Result{usb::Reply::Stall, 0, 0}; }
Result Silent() { return Result{usb::Reply::NoReply, 0, 0}; }

Model ModelOf(const CameraOptions& o) {
    if (o.model) return *o.model;
    return o.product == 0x0004 ? Model::RcTvqr1 : Model::DvdRamTvQr2;
}

DriveOptions DriveOptionsOf(const CameraOptions& o) {
    DriveOptions d{};
    d.model = ModelOf(o);
    d.image_path = o.disc_image;
    return d;
}

template <typename T>
void Append(std::vector<std::uint8_t>& out, const T& record) {
    auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
    out.insert(out.end(), bytes, bytes + sizeof record);
}

}  // namespace

Camera::Camera(CameraOptions options) : options_(std::move(options)), drive_(DriveOptionsOf(options_)) {
    BuildDescriptors();
}

void Camera::BuildDescriptors() {
    bool kestrel = ModelOf(options_) == Model::RcTvqr1 || ModelOf(options_) == Model::DvdRamTvQr2;
    device_descriptor_ = USB_DEVICE_DESCRIPTOR{sizeof(USB_DEVICE_DESCRIPTOR),
                                               USB_DEVICE_DESCRIPTOR_TYPE,
                                               0x0110,
                                               0x00,
                                               0x00,
                                               0x00,
                                               64,
                                               kVendorId,
                                               options_.product,
                                               0x0100,
                                               1,
                                               2,
                                               3,
                                               1};
    strings_ = {kestrel ? "KESTREL" : "ORVANTEC", "DVD-RAM Video Camera", "TVQR-000001"};

    std::uint8_t endpoints = static_cast<std::uint8_t>(2 + options_.extra_pipes);
    configuration_.clear();
    Append(configuration_, USB_CONFIGURATION_DESCRIPTOR{sizeof(USB_CONFIGURATION_DESCRIPTOR),
                                                        USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 1, 1, 0, 0xC0, 1});
    Append(configuration_,
           USB_INTERFACE_DESCRIPTOR{sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, endpoints,
                                    options_.interface_class, options_.interface_subclass,
                                    options_.interface_protocol, 0});
    Append(configuration_, USB_ENDPOINT_DESCRIPTOR{sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81,
                                                   USB_ENDPOINT_TYPE_BULK, options_.bulk_packet_size, 0});
    Append(configuration_, USB_ENDPOINT_DESCRIPTOR{sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, 0x01,
                                                   USB_ENDPOINT_TYPE_BULK, options_.bulk_packet_size, 0});
    for (std::uint8_t i = 0; i < options_.extra_pipes; ++i)
        Append(configuration_,
               USB_ENDPOINT_DESCRIPTOR{sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE,
                                       static_cast<UCHAR>(0x82 + i), USB_ENDPOINT_TYPE_INTERRUPT, kExtraPipePacket, 10});
    halted_.clear();
    halted_[0x81] = halted_[0x01] = false;
    for (std::uint8_t i = 0; i < options_.extra_pipes; ++i) halted_[static_cast<std::uint8_t>(0x82 + i)] = false;
    // Vendor descriptors fill the configuration to the length a test asks for.
    while (configuration_.size() + 2 <= options_.configuration_length) {
        std::size_t room = options_.configuration_length - configuration_.size();
        std::size_t length = std::min<std::size_t>(room, 255);
        if (room - length == 1) length -= 1;  // never leave a single byte that no descriptor can hold
        configuration_.push_back(static_cast<std::uint8_t>(length));
        configuration_.push_back(kVendorDescriptorType);
        for (std::size_t i = 2; i < length; ++i) configuration_.push_back(static_cast<std::uint8_t>(i));
    }
    auto* header = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_.data());
    header->wTotalLength = static_cast<USHORT>(configuration_.size());
}

bool* Camera::HaltOf(std::uint8_t endpoint) {
    auto it = halted_.find(endpoint);
    return it == halted_.end() ? nullptr : &it->second;
}

void Camera::BusReset() {
    address_ = 0;
    configuration_value_ = 0;
    for (auto& [endpoint, halted] : halted_) halted = false;
    phase_ = Phase::Idle;
    in_data_.clear();
    out_data_.clear();
    armed_ = Armed{};
    SetStatus(0x40, 0x00);
}

void Camera::SetStatus(std::uint8_t b0, std::uint8_t b1) {
    status_[0] = b0;
    status_[1] = b1;
}

// ---- control pipe -------------------------------------------------------------------------------

Result Camera::Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::uint8_t* data) {
    std::uint8_t type = setup.bmRequestType & 0x60;
    if (type == 0x00) return Standard(setup, data);
    if (setup.bmRequestType == 0x21 && setup.bRequest == 0x00 && setup.wIndex == 0 && configuration_value_)
        return CommandBlock(data, setup.wLength);
    if (setup.bmRequestType == 0xC0 && setup.bRequest == 0x00 && configuration_value_)
        return ReadStatus(data, setup.wLength);
    return Stall();
}

Result Camera::Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& s, std::uint8_t* data) {
    auto answer = [&](const void* bytes, std::size_t size) {
        std::size_t n = std::min<std::size_t>(size, s.wLength);
        std::memcpy(data, bytes, n);
        return Ack(static_cast<std::uint32_t>(n));
    };
    std::uint8_t recipient = s.bmRequestType & 0x1F;
    switch (s.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR: {
        if (!(s.bmRequestType & 0x80)) return Stall();
        std::uint8_t kind = s.wValue >> 8;
        std::uint8_t index = s.wValue & 0xFF;
        if (kind == USB_DEVICE_DESCRIPTOR_TYPE) return answer(&device_descriptor_, sizeof device_descriptor_);
        if (kind == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0)
            return answer(configuration_.data(), configuration_.size());
        if (kind == USB_STRING_DESCRIPTOR_TYPE) {
            std::vector<std::uint8_t> d;
            if (index == 0) {
                d = {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};  // English (United States)
            } else if (index <= strings_.size()) {
                const std::string& text = strings_[index - 1];
                d = {static_cast<std::uint8_t>(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
                for (char c : text) {
                    d.push_back(static_cast<std::uint8_t>(c));
                    d.push_back(0);
                }
            } else {
                return Stall();
            }
            return answer(d.data(), d.size());
        }
        return Stall();
    }
    case USB_REQUEST_SET_ADDRESS:
        if (s.wValue > 127) return Stall();
        address_ = static_cast<std::uint8_t>(s.wValue);
        return Ack();
    case USB_REQUEST_SET_CONFIGURATION:
        if (s.wValue > 1) return Stall();
        configuration_value_ = static_cast<std::uint8_t>(s.wValue);
        for (auto& [endpoint, halted] : halted_) halted = false;
        return Ack();
    case USB_REQUEST_GET_CONFIGURATION: return answer(&configuration_value_, 1);
    case USB_REQUEST_GET_STATUS: {
        std::uint8_t reply[2] = {0, 0};
        if (recipient == 0) {
            reply[0] = 0x01;  // self-powered
        } else if (recipient == 2) {
            std::uint8_t endpoint = s.wIndex & 0xFF;
            if (endpoint != 0 && endpoint != 0x80) {
                bool* halt = HaltOf(endpoint);
                if (!halt) return Stall();
                reply[0] = *halt ? 1 : 0;
            }
        } else if (recipient != 1) {
            return Stall();
        }
        return answer(reply, sizeof reply);
    }
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE: {
        if (recipient != 2 || s.wValue != USB_FEATURE_ENDPOINT_STALL) return Stall();
        std::uint8_t endpoint = s.wIndex & 0xFF;
        if (endpoint == 0 || endpoint == 0x80) return Ack();  // endpoint 0 clears itself at the next setup
        bool* halt = HaltOf(endpoint);
        if (!halt) return Stall();
        *halt = s.bRequest == USB_REQUEST_SET_FEATURE;
        return Ack();
    }
    default: return Stall();
    }
}

// ---- faults -------------------------------------------------------------------------------------

bool Camera::AddFaults(const std::string& script, std::string* error) {
    std::optional<std::vector<FaultRule>> rules = ParseFaults(script, error);
    if (!rules) return false;
    faults_.insert(faults_.end(), rules->begin(), rules->end());
    return true;
}

std::vector<std::string> Camera::PendingFaults() const {
    std::vector<std::string> out;
    for (const FaultRule& r : faults_) out.push_back(Describe(r));
    return out;
}

// The rules that strike the command block now arriving; the others count it.
std::vector<FaultRule> Camera::TakeStriking(std::uint8_t opcode) {
    std::vector<FaultRule> striking;
    for (auto it = faults_.begin(); it != faults_.end();) {
        bool strikes = it->opcode ? *it->opcode == opcode : it->at == 1;
        if (strikes) {
            striking.push_back(*it);
            it = faults_.erase(it);
        } else {
            if (!it->opcode) it->at -= 1;
            ++it;
        }
    }
    return striking;
}

// ---- the transport ------------------------------------------------------------------------------

Result Camera::CommandBlock(const std::uint8_t* block, std::uint16_t length) {
    if (length == 0) return Stall();
    ++commands_;
    armed_ = Armed{};
    bool stall_command = false;
    std::optional<std::uint8_t> status_override;
    for (const FaultRule& rule : TakeStriking(block[0])) {
        switch (rule.action) {
        case FaultAction::StallCommand: stall_command = true; break;
        case FaultAction::StallData:
            armed_.stall_data = true;
            armed_.stall_data_good = rule.good;
            break;
        case FaultAction::Busy: armed_.busy += rule.count; break;
        case FaultAction::Status: status_override = rule.status; break;
        case FaultAction::UsbError: return Result{usb::Reply::Error, 0, static_cast<USBD_STATUS>(rule.usb_error)};
        case FaultAction::Hang:
            if (rule.stage == Stage::Command) return Silent();
            (rule.stage == Stage::Data ? armed_.hang_data : armed_.hang_status) = true;
            break;
        case FaultAction::Unplug:
            if (port_hook_) port_hook_(FaultAction::Unplug);
            return Silent();  // the cable goes before the answer
        case FaultAction::DisablePort:
            if (port_hook_) port_hook_(FaultAction::DisablePort);
            return Result{usb::Reply::Error, 0, USBD_STATUS_DEV_NOT_RESPONDING};
        }
    }
    in_data_.clear();
    in_sent_ = 0;
    out_data_.clear();
    out_expected_ = 0;
    if (stall_command) {
        phase_ = Phase::Done;
        SetStatus(0x80, 0x00);
        return Stall();
    }
    if (length >= sizeof kCommandBlockReset && std::memcmp(block, kCommandBlockReset, sizeof kCommandBlockReset) == 0) {
        phase_ = Phase::Idle;
        armed_ = Armed{};
        SetStatus(0x40, 0x00);
        return Ack(length);
    }
    camera::Reply reply = drive_.Command(block, length);
    bool failed = reply.check_condition;
    switch (reply.direction) {
    case Direction::In:
        in_data_ = std::move(reply.data);
        phase_ = in_data_.empty() ? Phase::Done : Phase::DataIn;
        break;
    case Direction::Out:
        out_expected_ = reply.out_length;
        phase_ = failed || out_expected_ == 0 ? Phase::Done : Phase::DataOut;
        break;
    case Direction::None: phase_ = Phase::Done; break;
    }
    SetStatus(failed ? 0x80 : 0x40, 0x00);
    if (status_override) status_[0] = *status_override;
    return Ack(length);
}

Result Camera::ReadStatus(std::uint8_t* data, std::uint16_t length) {
    if (armed_.hang_status) return Silent();
    std::uint8_t reply[2] = {status_[0], status_[1]};
    if (armed_.busy > 0) {
        armed_.busy -= 1;
        reply[0] = reply[1] = 0xFF;
    }
    std::size_t n = std::min<std::size_t>(length, 2);
    std::memcpy(data, reply, n);
    return Ack(static_cast<std::uint32_t>(n));
}

Result Camera::StallDataStage(std::uint8_t endpoint) {
    halted_[endpoint] = true;
    armed_.stall_data = false;
    phase_ = Phase::Done;
    if (armed_.stall_data_good) {
        SetStatus(0x40, 0x01);
    } else {
        SetStatus(0x80, 0x02);
    }
    return Stall();
}

Result Camera::Transfer(std::uint8_t endpoint, std::uint8_t* data, std::uint32_t length) {
    if (!configuration_value_) return Stall();
    bool* halt = HaltOf(endpoint);
    if (!halt || *halt) return Stall();
    if (endpoint != 0x81 && endpoint != 0x01) return Silent();  // the extra pipes have nothing to report
    if (armed_.hang_data) return Silent();
    if (armed_.stall_data) return StallDataStage(endpoint);
    return endpoint == 0x81 ? DataIn(data, length) : DataOut(data, length);
}

Result Camera::DataIn(std::uint8_t* data, std::uint32_t length) {
    if (phase_ == Phase::DataIn && in_sent_ < in_data_.size()) {
        std::size_t n = std::min<std::size_t>(length, in_data_.size() - in_sent_);
        std::memcpy(data, in_data_.data() + in_sent_, n);
        in_sent_ += n;
        if (in_sent_ == in_data_.size()) phase_ = Phase::Done;
        return Ack(static_cast<std::uint32_t>(n));
    }
    // Nothing (more) to send: the data stage ends with a stall.
    halted_[0x81] = true;
    if (phase_ == Phase::Done && status_[0] == 0x40) {
        SetStatus(0x40, 0x01);
    } else if (phase_ != Phase::Done) {
        SetStatus(0x20, 0x02);
        phase_ = Phase::Done;
    }
    return Stall();
}

Result Camera::DataOut(const std::uint8_t* data, std::uint32_t length) {
    if (phase_ != Phase::DataOut) {
        halted_[0x01] = true;
        SetStatus(0x20, 0x02);
        phase_ = Phase::Done;
        return Stall();
    }
    // A short chunk arrives padded to whole packets; the bytes past what the command takes are padding.
    std::size_t take = std::min<std::size_t>(length, out_expected_ - out_data_.size());
    out_data_.insert(out_data_.end(), data, data + take);
    if (out_data_.size() == out_expected_) {
        bool ok = drive_.DataOut(out_data_.data(), out_data_.size());
        phase_ = Phase::Done;
        SetStatus(ok ? 0x40 : 0x80, 0x00);
    } else {
        SetStatus(0x40, 0x00);
    }
    return Ack(length);
}

}  // namespace camera
