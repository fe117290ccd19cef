// Devices, stacks, names, files and device interfaces.
#include "fixture.h"

namespace {

using kt::Complete;
using kt::KernelTest;
using kt::Name;

struct Seen {
    std::vector<std::string> requests;
    NTSTATUS create_answer = STATUS_SUCCESS;
};

// A device that records each request it sees, with the file name of a create.
kt::Dispatch Recorder(Seen* seen) {
    return [seen](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        std::string line = std::string(kt::Label(device)) + " major " + std::to_string(stack->MajorFunction);
        NTSTATUS answer = STATUS_SUCCESS;
        if (stack->MajorFunction == IRP_MJ_CREATE) {
            line += " \"" + kernel::ToUtf8(&stack->FileObject->FileName) + "\" access " +
                    std::to_string(stack->Parameters.Create.SecurityContext->DesiredAccess);
            answer = seen->create_answer;
        }
        seen->requests.push_back(line);
        return Complete(irp, answer);
    };
}

TEST_F(KernelTest, CreateDeviceGivesAZeroedExtensionAndRefusesADuplicateName) {
    PDEVICE_OBJECT device = nullptr;
    Name name("\\Device\\RERAREV-1");
    ASSERT_EQ(IoCreateDevice(driver_, 300, name.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    auto* bytes = static_cast<UCHAR*>(device->DeviceExtension);
    EXPECT_TRUE(std::all_of(bytes, bytes + 300, [](UCHAR b) { return b == 0; }));
    EXPECT_EQ(device->Flags, ULONG(DO_DEVICE_INITIALIZING | DO_DEVICE_HAS_NAME));
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(driver_->DeviceObject, device);
    EXPECT_EQ(kernel::FindDevice("\\device\\rerarev-1"), device) << "names are case-insensitive";
    PDEVICE_OBJECT twin = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, 0, name.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &twin),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(twin, nullptr);
    IoDeleteDevice(device);
    EXPECT_EQ(kernel::FindDevice("\\Device\\RERAREV-1"), nullptr);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    IoDeleteDevice(device);
    EXPECT_EQ(kernel::TakeFaults("IoDeleteDevice of"), 1) << "deleted twice, or no longer a device";
}

TEST_F(KernelTest, AttachingBuildsAStackAndDetachingTakesItApart) {
    Seen seen;
    PDEVICE_OBJECT pdo = MakeDevice("pdo", Recorder(&seen));
    PDEVICE_OBJECT fdo = MakeDevice("fdo", Recorder(&seen), "", pdo);
    PDEVICE_OBJECT filter = MakeDevice("filter", Recorder(&seen), "", pdo);  // goes on top of the fdo
    EXPECT_EQ(fdo->StackSize, 2);
    EXPECT_EQ(filter->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(pdo), filter);
    EXPECT_EQ(filter->DeviceObjectExtension->AttachedTo, fdo);

    IoDeleteDevice(fdo);  // still in the middle of the stack: refused
    EXPECT_EQ(kernel::TakeFaults("still attached to a lower device"), 1);
    IoDetachDevice(fdo);
    IoDeleteDevice(filter);
    Forget(filter);

    // A bus driver deletes its PDO in its removal while the function device is still attached; the
    // object stays until the function device has detached and the last reference is gone.
    ObReferenceObject(pdo);
    IoDeleteDevice(pdo);
    Forget(pdo);
    EXPECT_TRUE(kernel::Faults().empty());
    IoDetachDevice(pdo);
    EXPECT_EQ(IoGetAttachedDevice(pdo), pdo);
    ObDereferenceObject(pdo);
    EXPECT_TRUE(kernel::Faults().empty());
}

TEST_F(KernelTest, GetDeviceObjectPointerOpensTheTopOfTheStackAndReleasingTheFileClosesIt) {
    Seen seen;
    PDEVICE_OBJECT named = MakeDevice("named", Recorder(&seen), "\\Device\\RERAREV-1");
    PDEVICE_OBJECT above = MakeDevice("above", Recorder(&seen), "", named);
    Name name("\\Device\\RERAREV-1");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(name.get(), 0x1F01FF, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, above);
    EXPECT_EQ(file->DeviceObject, named);
    EXPECT_EQ(named->ReferenceCount, 1);
    EXPECT_EQ(seen.requests, (std::vector<std::string>{"above major 0 \"\" access 2032127"}));
    ObDereferenceObject(file);
    EXPECT_EQ(seen.requests, (std::vector<std::string>{"above major 0 \"\" access 2032127", "above major 18",
                                                       "above major 2"}))
        << "cleanup then close";
    EXPECT_EQ(named->ReferenceCount, 0);

    Name missing("\\Device\\RERAREV-2");
    EXPECT_EQ(IoGetDeviceObjectPointer(missing.get(), 0x1F01FF, &file, &device), STATUS_OBJECT_NAME_NOT_FOUND);
    seen.create_answer = STATUS_ACCESS_DENIED;
    seen.requests.clear();
    EXPECT_EQ(IoGetDeviceObjectPointer(name.get(), 0x1F01FF, &file, &device), STATUS_ACCESS_DENIED);
    EXPECT_EQ(seen.requests.size(), 1u) << "a refused open is never closed";
}

TEST_F(KernelTest, ADeletedDeviceLivesOnWhileAFileOnItIsOpen) {
    Seen seen;
    PDEVICE_OBJECT named = MakeDevice("named", Recorder(&seen), "\\Device\\Gone");
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kernel::OpenFile("\\Device\\Gone", 0, &file), STATUS_SUCCESS);
    IoDeleteDevice(named);
    Forget(named);
    EXPECT_EQ(kernel::FindDevice("\\Device\\Gone"), nullptr);
    ObDereferenceObject(file);  // close still reaches the driver, then the device goes
    EXPECT_EQ(seen.requests.back(), "named major 2");
}

TEST_F(KernelTest, DeviceInterfacesNameTheStackOfTheirPhysicalDevice) {
    Seen seen;
    PDEVICE_OBJECT pdo = MakeDevice("pdo", Recorder(&seen));
    PDEVICE_OBJECT fdo = MakeDevice("fdo", Recorder(&seen), "", pdo);
    const GUID guid = {0x5B1E7C30, 0x2A94, 0x4D6F, {0x8E, 0x21, 0xC7, 0xF0, 0x3B, 0x9A, 0x6D, 0x48}};
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &guid, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST)
        << "only a Plug and Play physical device has interfaces";
    kernel::SetInstancePath(pdo, "USB\\VID_E7A4&PID_0004\\5&1");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &guid, nullptr, &link), STATUS_SUCCESS);
    std::string text = kernel::ToUtf8(&link);
    EXPECT_EQ(text, "\\??\\USB#VID_E7A4&PID_0004#5&1#{5b1e7c30-2a94-4d6f-8e21-c7f03b9a6d48}");

    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(kernel::OpenFile(text + "\\PIPE1", 0, &file), STATUS_OBJECT_NAME_NOT_FOUND) << "not enabled yet";
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    ASSERT_EQ(kernel::OpenFile(text + "\\PIPE1", 0, &file), STATUS_SUCCESS);
    EXPECT_EQ(seen.requests.back(), "fdo major 0 \"\\PIPE1\" access 0");
    ObDereferenceObject(file);
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(kernel::OpenFile(text, 0, &file), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(kernel::InterfaceLinks().size(), 1u);
    EXPECT_FALSE(kernel::InterfaceLinks()[0].enabled);
    RtlFreeUnicodeString(&link);
    (void)fdo;
}

TEST_F(KernelTest, SymbolicLinksLeadToTheirDevice) {
    Seen seen;
    MakeDevice("named", Recorder(&seen), "\\Device\\Real");
    Name link("\\DosDevices\\Alias"), target("\\Device\\Real");
    ASSERT_EQ(IoCreateSymbolicLink(link.get(), target.get()), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(link.get(), target.get()), STATUS_OBJECT_NAME_COLLISION);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kernel::OpenFile("\\DosDevices\\Alias\\x", 0, &file), STATUS_SUCCESS);
    EXPECT_EQ(kernel::ToUtf8(&file->FileName), "\\x");
    ObDereferenceObject(file);
    EXPECT_EQ(IoDeleteSymbolicLink(link.get()), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(link.get()), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(KernelTest, UnsupportedMajorFunctionsAreRefusedByTheDefaultRoutine) {
    PDRIVER_OBJECT bare = kernel::LoadDriver("bare", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
        return STATUS_SUCCESS;
    });
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(kernel::ToUtf8(&bare->DriverName), "\\Driver\\bare");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(bare, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x220000, device, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(device);
    kernel::UnloadDriver(bare);

    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(kernel::LoadDriver("refuses", [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
                  return STATUS_NO_SUCH_DEVICE;
              }, &status),
              nullptr);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
}

TEST_F(KernelTest, ShutdownReportsDevicesThatWereNeverDeleted) {
    PDEVICE_OBJECT device = nullptr;
    Name name("\\Device\\Forgotten");
    ASSERT_EQ(IoCreateDevice(driver_, 16, name.get(), FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    kernel::ShutdownReport report = kernel::Shutdown();
    ASSERT_EQ(report.leaks.size(), 1u) << report.Text();
    EXPECT_NE(report.leaks[0].find("\"\\Device\\Forgotten\" of \\Driver\\ktest never deleted"), std::string::npos)
        << report.leaks[0];
}

}  // namespace
