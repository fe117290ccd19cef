// usb: the bus enumerated like `lsusb -v`, with every descriptor read from the device by
// get-descriptor requests (so that they show in a capture).
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "machine/usb_client.h"
#include "session.h"

namespace tvqr {
namespace {

using nlohmann::json;

constexpr USHORT kEnglish = 0x0409;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string Hex(unsigned value, int digits) { return Format("0x%0*x", digits, value); }
std::string Bcd(unsigned value) { return Format("%x.%02x", value >> 8, value & 0xFF); }

// Reads string descriptor `index` in English; empty when there is none.
std::string ReadString(machine::UsbClient& client, UCHAR index) {
    if (index == 0) return "";
    UCHAR buffer[256] = {};
    machine::Outcome o = client.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, index, buffer, sizeof buffer, kEnglish);
    if (o.status != STATUS_SUCCESS || o.length < 2) return "";
    std::string text;
    for (ULONG i = 2; i + 1 < std::min<ULONG>(o.length, buffer[0]); i += 2) {
        unsigned c = buffer[i] | buffer[i + 1] << 8;
        text += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return text;
}

const char* TransferType(UCHAR attributes) {
    static const char* names[] = {"Control", "Isochronous", "Bulk", "Interrupt"};
    return names[attributes & 3];
}

}  // namespace

Output CommandUsb(Session& session, const std::vector<std::string>& args) {
    if (!args.empty()) return Usage("usb takes no arguments");
    Output out;
    if (!session.EnsureMachine(&out)) return out;
    PDEVICE_OBJECT pdo = session.Machine()->CameraDevice();
    if (!pdo || !session.Machine()->Plugged()) {
        out.text = "no device on the bus (the camera is unplugged)";
        out.json = {{"devices", json::array()}};
        return out;
    }
    machine::UsbClient client(pdo);
    USB_DEVICE_DESCRIPTOR d{};
    machine::Outcome o = client.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, &d, sizeof d, 0);
    if (o.status != STATUS_SUCCESS || o.length < sizeof d)
        return Failure(Format("the device descriptor could not be read (status 0x%08X, USB status 0x%08X)",
                              static_cast<unsigned>(o.status), static_cast<unsigned>(o.usbd)));
    USB_CONFIGURATION_DESCRIPTOR head{};
    o = client.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, &head, sizeof head, 0);
    if (o.status != STATUS_SUCCESS || o.length < sizeof head)
        return Failure("the configuration descriptor could not be read");
    std::vector<UCHAR> config(head.wTotalLength);
    o = client.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, config.data(), head.wTotalLength, 0);
    if (o.status != STATUS_SUCCESS) return Failure("the configuration descriptor could not be read");
    config.resize(o.length);
    std::string manufacturer = ReadString(client, d.iManufacturer);
    std::string product = ReadString(client, d.iProduct);
    std::string serial = ReadString(client, d.iSerialNumber);
    UCHAR address = session.Machine()->Camera().Address();

    std::string t;
    t += Format("Bus 001 Device %03u: ID %04x:%04x %s %s\n", address, d.idVendor, d.idProduct, manufacturer.c_str(),
                product.c_str());
    t += "Device Descriptor:\n";
    t += Format("  bLength             %5u\n", d.bLength);
    t += Format("  bDescriptorType     %5u\n", d.bDescriptorType);
    t += Format("  bcdUSB              %5s\n", Bcd(d.bcdUSB).c_str());
    t += Format("  bDeviceClass        %5u\n", d.bDeviceClass);
    t += Format("  bDeviceSubClass     %5u\n", d.bDeviceSubClass);
    t += Format("  bDeviceProtocol     %5u\n", d.bDeviceProtocol);
    t += Format("  bMaxPacketSize0     %5u\n", d.bMaxPacketSize0);
    t += Format("  idVendor           0x%04x %s\n", d.idVendor, manufacturer.c_str());
    t += Format("  idProduct          0x%04x %s\n", d.idProduct, product.c_str());
    t += Format("  bcdDevice           %5s\n", Bcd(d.bcdDevice).c_str());
    t += Format("  iManufacturer       %5u %s\n", d.iManufacturer, manufacturer.c_str());
    t += Format("  iProduct            %5u %s\n", d.iProduct, product.c_str());
    t += Format("  iSerial             %5u %s\n", d.iSerialNumber, serial.c_str());
    t += Format("  bNumConfigurations  %5u\n", d.bNumConfigurations);

    json device = {{"bus", 1},
                   {"device", address},
                   {"bLength", d.bLength},
                   {"bcdUSB", Bcd(d.bcdUSB)},
                   {"bDeviceClass", d.bDeviceClass},
                   {"bDeviceSubClass", d.bDeviceSubClass},
                   {"bDeviceProtocol", d.bDeviceProtocol},
                   {"bMaxPacketSize0", d.bMaxPacketSize0},
                   {"idVendor", Hex(d.idVendor, 4)},
                   {"idProduct", Hex(d.idProduct, 4)},
                   {"bcdDevice", Bcd(d.bcdDevice)},
                   {"manufacturer", manufacturer},
                   {"product", product},
                   {"serial", serial},
                   {"bNumConfigurations", d.bNumConfigurations}};
    json configuration;
    json* interface = nullptr;
    std::string indent = "  ";
    for (std::size_t at = 0; at + 2 <= config.size();) {
        UCHAR length = config[at];
        UCHAR type = config[at + 1];
        if (length < 2 || at + length > config.size()) break;
        const UCHAR* p = &config[at];
        if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && length >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            USB_CONFIGURATION_DESCRIPTOR copy;  // an aligned copy of the packed record
            std::memcpy(&copy, p, sizeof copy);
            const USB_CONFIGURATION_DESCRIPTOR* c = &copy;
            t += "  Configuration Descriptor:\n";
            t += Format("    bLength             %5u\n", c->bLength);
            t += Format("    bDescriptorType     %5u\n", c->bDescriptorType);
            t += Format("    wTotalLength       0x%04x\n", c->wTotalLength);
            t += Format("    bNumInterfaces      %5u\n", c->bNumInterfaces);
            t += Format("    bConfigurationValue %5u\n", c->bConfigurationValue);
            t += Format("    iConfiguration      %5u\n", c->iConfiguration);
            t += Format("    bmAttributes         0x%02x\n", c->bmAttributes);
            if (c->bmAttributes & 0x40) t += "      Self Powered\n";
            t += Format("    MaxPower            %5umA\n", c->MaxPower * 2);
            configuration = {{"wTotalLength", c->wTotalLength},
                             {"bNumInterfaces", c->bNumInterfaces},
                             {"bConfigurationValue", c->bConfigurationValue},
                             {"bmAttributes", Hex(c->bmAttributes, 2)},
                             {"MaxPower_mA", c->MaxPower * 2},
                             {"interfaces", json::array()},
                             {"other_descriptors", json::array()}};
        } else if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            USB_INTERFACE_DESCRIPTOR copy;
            std::memcpy(&copy, p, sizeof copy);
            const USB_INTERFACE_DESCRIPTOR* i = &copy;
            t += "    Interface Descriptor:\n";
            t += Format("      bLength             %5u\n", i->bLength);
            t += Format("      bDescriptorType     %5u\n", i->bDescriptorType);
            t += Format("      bInterfaceNumber    %5u\n", i->bInterfaceNumber);
            t += Format("      bAlternateSetting   %5u\n", i->bAlternateSetting);
            t += Format("      bNumEndpoints       %5u\n", i->bNumEndpoints);
            t += Format("      bInterfaceClass     %5u %s\n", i->bInterfaceClass,
                        i->bInterfaceClass == 0xFF ? "Vendor Specific Class" : "");
            t += Format("      bInterfaceSubClass  %5u %s\n", i->bInterfaceSubClass,
                        i->bInterfaceSubClass == 0xFF ? "Vendor Specific Subclass" : "");
            t += Format("      bInterfaceProtocol  %5u %s\n", i->bInterfaceProtocol,
                        i->bInterfaceProtocol == 0xFF ? "Vendor Specific Protocol" : "");
            t += Format("      iInterface          %5u\n", i->iInterface);
            configuration["interfaces"].push_back({{"bInterfaceNumber", i->bInterfaceNumber},
                                                   {"bAlternateSetting", i->bAlternateSetting},
                                                   {"bNumEndpoints", i->bNumEndpoints},
                                                   {"bInterfaceClass", Hex(i->bInterfaceClass, 2)},
                                                   {"bInterfaceSubClass", Hex(i->bInterfaceSubClass, 2)},
                                                   {"bInterfaceProtocol", Hex(i->bInterfaceProtocol, 2)},
                                                   {"endpoints", json::array()}});
            interface = &configuration["interfaces"].back();
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR) && interface) {
            USB_ENDPOINT_DESCRIPTOR copy;
            std::memcpy(&copy, p, sizeof copy);
            const USB_ENDPOINT_DESCRIPTOR* e = &copy;
            t += "      Endpoint Descriptor:\n";
            t += Format("        bLength             %5u\n", e->bLength);
            t += Format("        bDescriptorType     %5u\n", e->bDescriptorType);
            t += Format("        bEndpointAddress     0x%02x  EP %u %s\n", e->bEndpointAddress,
                        e->bEndpointAddress & 0x0F, (e->bEndpointAddress & 0x80) ? "IN" : "OUT");
            t += Format("        bmAttributes        %5u\n", e->bmAttributes);
            t += Format("          Transfer Type            %s\n", TransferType(e->bmAttributes));
            t += Format("        wMaxPacketSize     0x%04x  1x %u bytes\n", e->wMaxPacketSize, e->wMaxPacketSize);
            t += Format("        bInterval           %5u\n", e->bInterval);
            (*interface)["endpoints"].push_back({{"bEndpointAddress", Hex(e->bEndpointAddress, 2)},
                                                 {"direction", (e->bEndpointAddress & 0x80) ? "IN" : "OUT"},
                                                 {"transfer_type", TransferType(e->bmAttributes)},
                                                 {"wMaxPacketSize", e->wMaxPacketSize},
                                                 {"bInterval", e->bInterval}});
        } else {
            t += Format("%s  ** UNRECOGNIZED: %02x %02x ... (%u bytes)\n", indent.c_str(), length, type, length);
            configuration["other_descriptors"].push_back({{"bLength", length}, {"bDescriptorType", Hex(type, 2)}});
        }
        at += length;
    }
    device["configuration"] = configuration;
    out.text = t;
    out.json = {{"devices", json::array({device})}};
    return out;
}

}  // namespace tvqr
