// The verifier's fault list, debug output and the fatal stops.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "internal.h"

namespace kernel {
namespace {

std::vector<std::string> g_faults;
std::vector<std::string> g_debug;
std::function<void(const std::string&)> g_sink;

}  // namespace

namespace detail {

std::mutex& RegistryLock() {
    static std::mutex m;
    return m;
}

std::string Site(const std::source_location& site) {
    std::string file = site.file_name();
    auto slash = file.find_last_of('/');
    if (slash != std::string::npos) file = file.substr(slash + 1);
    return file + ":" + std::to_string(site.line());
}

void ResetVerifier() {
    Guard g(RegistryLock());
    g_faults.clear();
}

void ResetDebugOutput() {
    Guard g(RegistryLock());
    g_debug.clear();
}

}  // namespace detail

void Fault(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "kernel fault: %s\n", text);
    detail::Guard g(detail::RegistryLock());
    g_faults.emplace_back(text);
}

std::vector<std::string> Faults() {
    detail::Guard g(detail::RegistryLock());
    return g_faults;
}

int TakeFaults(const std::string& fragment) {
    detail::Guard g(detail::RegistryLock());
    int taken = 0;
    for (auto it = g_faults.begin(); it != g_faults.end();) {
        if (it->find(fragment) != std::string::npos) {
            it = g_faults.erase(it);
            ++taken;
        } else {
            ++it;
        }
    }
    return taken;
}

void SetDebugSink(std::function<void(const std::string&)> sink) {
    detail::Guard g(detail::RegistryLock());
    g_sink = std::move(sink);
}

std::vector<std::string> DebugOutput() {
    detail::Guard g(detail::RegistryLock());
    return g_debug;
}

}  // namespace kernel

using namespace kernel;

ULONG DbgPrint(PCSTR Format, ...) {
    char text[1024];
    va_list args;
    va_start(args, Format);
    std::vsnprintf(text, sizeof text, Format, args);
    va_end(args);
    std::function<void(const std::string&)> sink;
    {
        detail::Guard g(detail::RegistryLock());
        g_debug.emplace_back(text);
        sink = g_sink;
    }
    if (sink) sink(text);
    return STATUS_SUCCESS;
}

VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message) {
    Fault("assertion failed: %s at %s:%u%s%s", static_cast<const char*>(FailedAssertion),
          static_cast<const char*>(FileName), LineNumber, Message ? ": " : "", Message ? Message : "");
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    std::fprintf(stderr, "kernel stop 0x%08X (0x%llx, 0x%llx, 0x%llx, 0x%llx)\n", BugCheckCode,
                 static_cast<unsigned long long>(P1), static_cast<unsigned long long>(P2),
                 static_cast<unsigned long long>(P3), static_cast<unsigned long long>(P4));
    std::abort();
}
