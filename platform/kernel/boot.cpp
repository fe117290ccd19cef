// Boot and shutdown of the kernel stand-in.
#include "internal.h"

namespace kernel {
namespace {
bool g_running = false;
}

void Boot(const BootOptions& options) {
    if (g_running) {
        Fault("Boot while the kernel is running");
        return;
    }
    detail::ResetVerifier();
    detail::ResetDebugOutput();
    ClearPoolFailures();
    detail::Irql() = PASSIVE_LEVEL;
    detail::SetSystemTimeBase();
    g_running = true;
    detail::StartWorkers(options);
    detail::StartPlugAndPlay();
}

ShutdownReport Shutdown() {
    ShutdownReport report;
    if (!g_running) return report;
    detail::StopPlugAndPlay();
    detail::StopPower(report.leaks);
    detail::StopWorkers();
    ClearPoolFailures();
    detail::ResetObjects(report.leaks);
    detail::ResetIrps(report.leaks);
    detail::ListPoolLeaks(report.leaks);
    detail::ResetPool();
    detail::ResetNames();
    report.faults = Faults();
    detail::ResetVerifier();
    g_running = false;
    return report;
}

bool Running() { return g_running; }

std::string ShutdownReport::Text() const {
    std::string text;
    for (const std::string& line : leaks) text += "leak: " + line + "\n";
    for (const std::string& line : faults) text += "fault: " + line + "\n";
    return text;
}

}  // namespace kernel
