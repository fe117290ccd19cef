// The virtual machine manager's semaphores over the kernel's.
#include "vmm.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "kernel/kernel.h"

namespace {

constexpr ULONG kSemaphoreTag = 0x6D655356;  // "VSem" as the pool tools show it

// The semaphore itself lives here rather than in the pool block, so that a handle kept past a
// shutdown (which frees leaked pool blocks) never reaches freed memory.
struct Semaphore {
    KSEMAPHORE semaphore;
    PVOID marker;  // the pool block that reports a leak
    int waiters = 0;
};

std::mutex g_mutex;
std::unordered_map<VMM_SEMAPHORE, std::unique_ptr<Semaphore>> g_semaphores;
VMM_SEMAPHORE g_last = 0x00C50000;

void BadHandle(VMM_SEMAPHORE handle, const char* who) {
    kernel::Fault("%s of semaphore handle 0x%08X, which is not a semaphore (destroyed already?)", who,
                  static_cast<unsigned>(handle));
}

// The semaphore of a handle, with a waiter counted when `wait`; NULL (with a fault) for a bad handle.
Semaphore* Lookup(VMM_SEMAPHORE handle, const char* who, bool wait = false) {
    Semaphore* semaphore = nullptr;
    {
        std::lock_guard<std::mutex> g(g_mutex);
        auto it = g_semaphores.find(handle);
        if (it != g_semaphores.end()) {
            semaphore = it->second.get();
            semaphore->waiters += wait ? 1 : 0;
        }
    }
    if (!semaphore) BadHandle(handle, who);
    return semaphore;
}

}  // namespace

VMM_SEMAPHORE Create_Semaphore(LONG TokenCount, std::source_location Site) {
    if (TokenCount < 0) return 0;
    PVOID marker = ExAllocatePoolWithTag(NonPagedPool, sizeof(VMM_SEMAPHORE), kSemaphoreTag, Site);
    if (!marker) return 0;
    auto semaphore = std::make_unique<Semaphore>();
    KeInitializeSemaphore(&semaphore->semaphore, TokenCount, INT32_MAX);
    semaphore->marker = marker;
    std::lock_guard<std::mutex> g(g_mutex);
    VMM_SEMAPHORE handle = ++g_last;
    *static_cast<VMM_SEMAPHORE*>(marker) = handle;
    g_semaphores[handle] = std::move(semaphore);
    return handle;
}

VOID Wait_Semaphore(VMM_SEMAPHORE Semaphore, ULONG Flags) {
    (void)Flags;
    ::Semaphore* semaphore = Lookup(Semaphore, "Wait_Semaphore", true);
    if (!semaphore) return;
    KeWaitForSingleObject(&semaphore->semaphore, Executive, KernelMode, FALSE, nullptr);
    std::lock_guard<std::mutex> g(g_mutex);
    semaphore->waiters -= 1;
}

VOID Signal_Semaphore(VMM_SEMAPHORE Semaphore) {
    if (::Semaphore* semaphore = Lookup(Semaphore, "Signal_Semaphore")) KeReleaseSemaphore(&semaphore->semaphore, 0, 1, FALSE);
}

VOID Destroy_Semaphore(VMM_SEMAPHORE Semaphore) {
    std::unique_ptr<::Semaphore> semaphore;
    {
        std::lock_guard<std::mutex> g(g_mutex);
        auto it = g_semaphores.find(Semaphore);
        if (it != g_semaphores.end() && it->second->waiters == 0) {
            semaphore = std::move(it->second);
            g_semaphores.erase(it);
        } else if (it != g_semaphores.end()) {
            kernel::Fault("Destroy_Semaphore of semaphore handle 0x%08X while %d thread(s) wait on it",
                          static_cast<unsigned>(Semaphore), it->second->waiters);
            return;
        }
    }
    if (!semaphore) return BadHandle(Semaphore, "Destroy_Semaphore");
    ExFreePoolWithTag(semaphore->marker, kSemaphoreTag);
}
