// The object manager: reference counts on the I/O manager's objects (drivers, devices, files).
#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "internal.h"

namespace kernel {
namespace {

struct ObjectRecord {
    detail::ObjectType type;
    LONG references;
    std::uint64_t order;
};

std::unordered_map<PVOID, ObjectRecord> g_objects;
std::uint64_t g_order = 0;

}  // namespace

namespace detail {

PVOID NewObject(ObjectType type, SIZE_T body_size, ULONG tag, const std::string& site) {
    PVOID body = Allocate(NonPagedPool, body_size, tag, site);
    if (!body) return nullptr;
    std::memset(body, 0, body_size);
    Guard g(RegistryLock());
    g_objects[body] = ObjectRecord{type, 1, ++g_order};
    return body;
}

void FreeObject(PVOID body) {
    {
        Guard g(RegistryLock());
        g_objects.erase(body);
    }
    Free(body, "object deletion");
}

bool IsObject(PVOID body, ObjectType type) {
    Guard g(RegistryLock());
    auto it = g_objects.find(body);
    return it != g_objects.end() && it->second.type == type;
}

void ResetObjects(std::vector<std::string>& leaks) {
    std::vector<std::pair<std::uint64_t, PVOID>> left;
    {
        Guard g(RegistryLock());
        for (auto& [body, record] : g_objects) left.push_back({record.order, body});
    }
    std::sort(left.begin(), left.end());
    // Drivers whose devices are all gone are simply unloaded; anything else is a leak.
    for (auto& [order, body] : left) {
        ObjectType type;
        {
            Guard g(RegistryLock());
            type = g_objects.at(body).type;
        }
        if (type == ObjectType::Driver) continue;
        char line[256];
        if (type == ObjectType::Device) {
            auto* device = static_cast<PDEVICE_OBJECT>(body);
            std::snprintf(line, sizeof line, "device object %p \"%s\" of %s never deleted", body,
                          DeviceName(device).c_str(),
                          device->DriverObject ? ToUtf8(&device->DriverObject->DriverName).c_str() : "no driver");
        } else {
            std::snprintf(line, sizeof line, "file object %p \"%s\" never closed", body,
                          ToUtf8(&static_cast<PFILE_OBJECT>(body)->FileName).c_str());
        }
        leaks.emplace_back(line);
    }
    // Devices and files go first, so that their drivers can then be unloaded.
    std::vector<PDRIVER_OBJECT> drivers;
    for (auto& [order, body] : left) {
        bool driver;
        {
            Guard g(RegistryLock());
            driver = g_objects.at(body).type == ObjectType::Driver;
        }
        if (driver) {
            drivers.push_back(static_cast<PDRIVER_OBJECT>(body));
        } else {
            ForgetDevice(body);
            FreeObject(body);
        }
    }
    for (PDRIVER_OBJECT drv : drivers) {
        drv->DeviceObject = nullptr;  // its leaked devices are reported above
        FinishUnload(drv);
    }
}

}  // namespace detail
}  // namespace kernel

using namespace kernel;

VOID ObReferenceObject(PVOID Object) {
    bool known;
    {
        detail::Guard g(detail::RegistryLock());
        auto it = g_objects.find(Object);
        known = it != g_objects.end();
        if (known) it->second.references += 1;
    }
    if (!known) Fault("ObReferenceObject of %p, which is not an object", Object);
}

VOID ObDereferenceObject(PVOID Object) {
    bool known = false;
    bool last = false;
    detail::ObjectType type = detail::ObjectType::Device;
    {
        detail::Guard g(detail::RegistryLock());
        auto it = g_objects.find(Object);
        if (it != g_objects.end()) {
            known = true;
            type = it->second.type;
            last = --it->second.references == 0;
        }
    }
    if (!known) return Fault("ObDereferenceObject of %p, which is not an object (or is gone already)", Object);
    if (!last) return;
    switch (type) {
    case detail::ObjectType::Device: detail::DeleteDeviceObject(static_cast<PDEVICE_OBJECT>(Object)); break;
    case detail::ObjectType::File: detail::CloseFileObject(static_cast<PFILE_OBJECT>(Object)); break;
    case detail::ObjectType::Driver: Fault("last reference of driver object %p dropped while loaded", Object); break;
    }
}
