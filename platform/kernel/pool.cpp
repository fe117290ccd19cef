// The executive pool, with the verifier's bookkeeping: every block is known by its tag, type, size and
// allocating site; a free of an unknown block is reported at once; allocations can be made to fail.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <unordered_map>

#include "internal.h"

namespace kernel {
namespace {

struct BlockInfo {
    POOL_TYPE type;
    std::size_t size;
    ULONG tag;
    std::string site;
    std::uint64_t order;
};

std::unordered_map<const void*, BlockInfo> g_blocks;
// Blocks freed lately, so that a second free can be told from a free of something never allocated.
std::unordered_map<const void*, std::string> g_recently_freed;
std::deque<const void*> g_freed_order;
std::uint64_t g_order = 0;
PoolFailure g_rule;
bool g_rule_active = false;
std::uint64_t g_matched = 0;
std::uint64_t g_injected = 0;

constexpr unsigned char kFreshFill = 0xA5;  // uninitialised pool reads as this, never as zeros
constexpr unsigned char kFreedFill = 0xDD;
constexpr std::size_t kRememberFreed = 4096;

bool Paged(POOL_TYPE type) { return type == PagedPool || type == PagedPoolCacheAligned; }

const char* TypeName(POOL_TYPE type) { return Paged(type) ? "PagedPool" : "NonPagedPool"; }

}  // namespace

namespace detail {

bool ShouldFail(ULONG tag) {
    Guard g(RegistryLock());
    if (!g_rule_active || (g_rule.tag != 0 && g_rule.tag != tag)) return false;
    ++g_matched;
    if (g_matched <= g_rule.skip || g_matched > g_rule.skip + g_rule.count) return false;
    ++g_injected;
    return true;
}

PVOID Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const std::string& site) {
    if (Paged(type) && Irql() >= DISPATCH_LEVEL)
        Fault("paged pool allocation at IRQL %u (tag '%s', %s)", Irql(), TagText(tag).c_str(), site.c_str());
    if (ShouldFail(tag)) return nullptr;
    void* block = std::malloc(size ? size : 1);
    if (!block) return nullptr;
    std::memset(block, kFreshFill, size);
    Guard g(RegistryLock());
    g_blocks[block] = BlockInfo{type, size, tag, site, ++g_order};
    g_recently_freed.erase(block);
    return block;
}

void Free(PVOID block, const char* who) {
    if (!block) {
        Fault("%s of a NULL pointer", who);
        return;
    }
    if (Irql() > DISPATCH_LEVEL) Fault("%s at IRQL %u", who, Irql());
    std::string problem;
    std::size_t size = 0;
    {
        Guard g(RegistryLock());
        auto it = g_blocks.find(block);
        if (it == g_blocks.end()) {
            auto freed = g_recently_freed.find(block);
            problem = freed != g_recently_freed.end() ? "a block freed already (allocated at " + freed->second + ")"
                                                      : std::string("an address that is not a pool block");
        } else {
            size = it->second.size;
            g_recently_freed[block] = it->second.site;
            g_freed_order.push_back(block);
            if (g_freed_order.size() > kRememberFreed) {
                g_recently_freed.erase(g_freed_order.front());
                g_freed_order.pop_front();
            }
            g_blocks.erase(it);
        }
    }
    if (!problem.empty()) {
        Fault("%s of %p: %s", who, block, problem.c_str());
        return;
    }
    std::memset(block, kFreedFill, size);
    std::free(block);
}

ULONG TagOf(PVOID block) {
    Guard g(RegistryLock());
    auto it = g_blocks.find(block);
    return it == g_blocks.end() ? 0 : it->second.tag;
}

void ListPoolLeaks(std::vector<std::string>& leaks) {
    for (const PoolBlock& b : PoolBlocks()) {
        char line[256];
        std::snprintf(line, sizeof line, "pool block %p, tag '%s', %s, %zu bytes, allocated at %s never freed",
                      b.address, TagText(b.tag).c_str(), TypeName(b.type), b.size, b.site.c_str());
        leaks.emplace_back(line);
    }
}

void ResetPool() {
    Guard g(RegistryLock());
    for (auto& [block, info] : g_blocks) std::free(const_cast<void*>(block));
    g_blocks.clear();
    g_recently_freed.clear();
    g_freed_order.clear();
    g_rule_active = false;
    g_matched = g_injected = 0;
}

}  // namespace detail

std::vector<PoolBlock> PoolBlocks() {
    std::vector<std::pair<std::uint64_t, PoolBlock>> sorted;
    {
        detail::Guard g(detail::RegistryLock());
        for (auto& [block, info] : g_blocks)
            sorted.push_back({info.order, PoolBlock{block, info.type, info.size, info.tag, info.site}});
    }
    std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::vector<PoolBlock> out;
    for (auto& [order, block] : sorted) out.push_back(block);
    return out;
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

void FailPoolAllocations(const PoolFailure& rule) {
    detail::Guard g(detail::RegistryLock());
    g_rule = rule;
    g_rule_active = true;
    g_matched = 0;
}

void ClearPoolFailures() {
    detail::Guard g(detail::RegistryLock());
    g_rule_active = false;
}

std::uint64_t PoolFailuresInjected() {
    detail::Guard g(detail::RegistryLock());
    return g_injected;
}

}  // namespace kernel

using namespace kernel;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, std::source_location Site) {
    return detail::Allocate(PoolType, NumberOfBytes, Tag, detail::Site(Site));
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, std::source_location Site) {
    return detail::Allocate(PoolType, NumberOfBytes, detail::MakeTag("None"), detail::Site(Site));
}

VOID ExFreePool(PVOID P) { detail::Free(P, "ExFreePool"); }

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    ULONG actual = detail::TagOf(P);
    if (actual && actual != Tag)
        Fault("ExFreePoolWithTag of %p with tag '%s'; the block has tag '%s'", P, TagText(Tag).c_str(),
              TagText(actual).c_str());
    detail::Free(P, "ExFreePoolWithTag");
}
