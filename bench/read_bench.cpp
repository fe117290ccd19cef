// Reads 256 MiB from the camera's disc through the whole stack (SCSI port, miniport, function driver,
// USB stack, camera, drive, image file) in sim mode, and the same bytes from the image file directly.
// Prints the host wall time of both and their ratio, and the virtual-time throughput of the stack
// against the full-speed bulk limit (19 packets of 64 bytes per 1 ms frame).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "kernel/pnp.h"
#include "scsiport.h"
#include "sched/sched.h"
#include "usb/usb_stack.h"

DRIVER_INITIALIZE UScsiDriverEntry;
DRIVER_INITIALIZE MiniportDriverEntry;

namespace {

constexpr std::uint64_t kTotal = 256ull << 20;
constexpr ULONG kBlocks = 512;  // 1 MiB per READ(10)
constexpr ULONG kBlockSize = 2048;

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main() {
    std::string image = "/tmp/read_bench_" + std::to_string(::getpid()) + ".img";
    int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(kTotal + (16 << 20))) != 0) return 1;
    // Real bytes, so that neither side reads a hole.
    std::vector<char> fill(1 << 20);
    for (std::size_t i = 0; i < fill.size(); ++i) fill[i] = static_cast<char>(i * 31 + 7);
    for (std::uint64_t off = 0; off < kTotal; off += fill.size())
        if (::pwrite(fd, fill.data(), fill.size(), static_cast<off_t>(off)) != static_cast<ssize_t>(fill.size())) return 1;
    ::fsync(fd);

    std::vector<UCHAR> buffer(kBlocks * kBlockSize);
    auto direct_start = std::chrono::steady_clock::now();
    for (std::uint64_t off = 0; off < kTotal; off += buffer.size())
        if (::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(off)) != static_cast<ssize_t>(buffer.size())) return 1;
    double direct = Seconds(std::chrono::steady_clock::now() - direct_start);
    ::close(fd);

    double stack = 0;
    double virtual_seconds = 0;
    bool ok = true;
    {
        sched::Scheduler scheduler;
        kernel::Boot();
        kernel::pnp::RegisterDriver("tv2kusb", UScsiDriverEntry, {"USB\\VID_E7A4&PID_0004"});
        kernel::pnp::RegisterDriver("tv2kscsi", MiniportDriverEntry, {"DAVIZU\\TVQRSCSI"});
        {
            usb::HostController host(1);
            camera::CameraOptions options;
            options.disc_image = image;
            camera::Camera camera(options);
            PDEVICE_OBJECT pdo = host.Plug(1, &camera);
            kernel::pnp::ReportDevice(pdo);
            kernel::pnp::WaitIdle();
            PDEVICE_OBJECT adapter = scsiport::Adapters().at(0).device;
            scsiport::Request tur;
            tur.cdb = {0, 0, 0, 0, 0, 0};
            scsiport::Execute(adapter, tur);  // the recovery sequence and the unit attention
            auto start = std::chrono::steady_clock::now();
            sched::Time virtual_start = sched::Now();
            for (std::uint64_t lba = 0; lba < kTotal / kBlockSize; lba += kBlocks) {
                scsiport::Request read;
                read.cdb = {0x28, 0, UCHAR(lba >> 24), UCHAR(lba >> 16), UCHAR(lba >> 8), UCHAR(lba), 0,
                            UCHAR(kBlocks >> 8), UCHAR(kBlocks), 0};
                read.data = buffer.data();
                read.length = static_cast<ULONG>(buffer.size());
                read.flags = SRB_FLAGS_DATA_IN;
                scsiport::Result r = scsiport::Execute(adapter, read);
                if (SRB_STATUS(r.srb_status) != SRB_STATUS_SUCCESS || r.transferred != buffer.size()) ok = false;
            }
            stack = Seconds(std::chrono::steady_clock::now() - start);
            virtual_seconds = static_cast<double>(sched::Now() - virtual_start) / sched::kSecond;
            host.Unplug(1);
            kernel::pnp::DeviceLeft(pdo);
            kernel::pnp::WaitIdle();
        }
        kernel::ShutdownReport report = kernel::Shutdown();
        if (!report.Clean()) {
            std::fprintf(stderr, "%s", report.Text().c_str());
            ok = false;
        }
    }
    std::remove(image.c_str());
    if (!ok) {
        std::fprintf(stderr, "read_bench: a read failed\n");
        return 1;
    }
    double limit = 19.0 * 64 * 1000;  // bytes per second at full speed
    double throughput = kTotal / virtual_seconds;
    std::printf("256 MiB through the stack (sim mode): %.2f s wall; from the image file: %.3f s wall; ratio %.0f\n",
                stack, direct, stack / direct);
    std::printf("virtual time %.1f s: %.0f bytes/s, %.1f %% of the full-speed bulk limit (%.0f bytes/s)\n",
                virtual_seconds, throughput, 100.0 * throughput / limit, limit);
    return 0;
}
