// A program's view of a driver's device: open a path (a device interface's symbolic link with a file
// name after it), send device-control requests on the handle, close it. The user-mode stand-in's
// CreateFile and DeviceIoControl come down to these.
#pragma once

#include <string>

#include "kernel/kernel.h"

namespace machine {

class UserFile {
public:
    UserFile() = default;
    ~UserFile() { Close(); }
    UserFile(const UserFile&) = delete;
    UserFile& operator=(const UserFile&) = delete;

    NTSTATUS Open(const std::string& path);
    // A buffered device-control request on the handle, waited for. `returned`: the bytes the driver
    // gave back.
    NTSTATUS Control(ULONG code, const void* in, ULONG in_length, void* out, ULONG out_length, ULONG* returned);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }
    const std::string& Path() const { return path_; }

private:
    PFILE_OBJECT file_ = nullptr;
    std::string path_;
};

}  // namespace machine
