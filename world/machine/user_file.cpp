#include "machine/user_file.h"

namespace machine {

NTSTATUS UserFile::Open(const std::string& path) {
    Close();
    NTSTATUS status = kernel::OpenFile(path, GENERIC_READ | GENERIC_WRITE, &file_);
    if (NT_SUCCESS(status)) path_ = path;
    return status;
}

NTSTATUS UserFile::Control(ULONG code, const void* in, ULONG in_length, void* out, ULONG out_length,
                           ULONG* returned) {
    if (returned) *returned = 0;
    if (!file_) return STATUS_INVALID_HANDLE;
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PDEVICE_OBJECT top = IoGetRelatedDeviceObject(file_);
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, const_cast<void*>(in), in_length, out, out_length, FALSE,
                                             &done, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = file_;
    if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (returned) *returned = static_cast<ULONG>(iosb.Information);
    return iosb.Status;
}

void UserFile::Close() {
    if (!file_) return;
    ObDereferenceObject(file_);
    file_ = nullptr;
    path_.clear();
}

}  // namespace machine
