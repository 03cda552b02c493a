/*
 * pool_tracker.cpp (winsim kernel)
 *
 * Pool allocation with the tracking of the verifier's pool checks: every block is recorded
 * with its tag, pool type, size and the code that allocated it; frees check the tag, the
 * IRQL the block's pool allows, double frees and frees of memory that holds a live
 * executive resource. Freed blocks are poisoned and quarantined for a while so that a
 * double free is recognised as one (and AddressSanitizer sees use after free). New blocks
 * are filled with a pattern, never zeroed, as on Windows.
 */
#include "kernel_internal.h"
#include "thread_context.h"

#include <winsim/verifier.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define WINSIM_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define WINSIM_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define WINSIM_POISON(address, size) ((void)(address), (void)(size))
#define WINSIM_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace winsim::kernel {
namespace {

constexpr unsigned char kFreshFill = 0xC4;  // low bits clear: reads as an uninitialised spin lock
constexpr unsigned char kFreedFill = 0xDF;
constexpr std::size_t kAlignment = 16;
constexpr std::size_t kPageSize = 4096;  // requests of a page or more are page-aligned
constexpr std::size_t kQuarantineBlocks = 4096;
constexpr std::size_t kShards = 16;

struct Block {
    ULONG tag;
    POOL_TYPE type;
    std::size_t size;
    const void *caller;
    bool platformOwned = false;  // handed to the platform, which frees it: not the driver's leftover
};

struct Shard {
    std::mutex mutex;
    std::unordered_map<const void *, Block> live;
    // The driver's own live blocks (not handed to the platform) by tag, kept as blocks come
    // and go so that counting them costs nothing per block.
    std::unordered_map<ULONG, std::size_t> driverOwnedByTag;

    void CountLocked(const Block &block, bool added)
    {
        if (block.platformOwned) {
            return;
        }
        if (added) {
            ++driverOwnedByTag[block.tag];
            return;
        }
        auto it = driverOwnedByTag.find(block.tag);
        if (--it->second == 0) {
            driverOwnedByTag.erase(it);
        }
    }
};

struct PoolState {
    Shard shards[kShards];
    std::mutex quarantineMutex;
    std::deque<std::pair<void *, Block>> quarantine;
    std::unordered_map<const void *, Block> quarantined;
};

PoolState &Pool()
{
    static auto *state = new PoolState();
    return *state;
}

Shard &ShardFor(const void *address)
{
    auto value = reinterpret_cast<ULONG_PTR>(address);
    return Pool().shards[(value >> 4) % kShards];
}

bool IsPagedType(POOL_TYPE type)
{
    int base = static_cast<int>(type) & ~(PROTECTED_POOL | POOL_RAISE_IF_ALLOCATION_FAILURE | POOL_COLD_ALLOCATION);
    return (base & 1) != 0 && base < NonPagedPoolNx;
}

// Describes an unsupported pool type, or returns empty when the type is fine.
std::string CheckPoolType(POOL_TYPE type)
{
    int base = static_cast<int>(type) & ~(POOL_COLD_ALLOCATION);
    switch (base) {
    case NonPagedPool:
    case PagedPool:
    case NonPagedPoolCacheAligned:
    case PagedPoolCacheAligned:
    case NonPagedPoolSession:
    case PagedPoolSession:
    case NonPagedPoolCacheAlignedSession:
    case PagedPoolCacheAlignedSession:
    case NonPagedPoolNx:
    case NonPagedPoolNxCacheAligned:
    case NonPagedPoolSessionNx:
        return {};
    case NonPagedPoolMustSucceed:
    case NonPagedPoolCacheAlignedMustS:
    case NonPagedPoolMustSucceedSession:
    case NonPagedPoolCacheAlignedMustSSession:
        return "must-succeed pool types are obsolete (BAD_POOL_CALLER)";
    default:
        if ((base & POOL_RAISE_IF_ALLOCATION_FAILURE) != 0) {
            return "POOL_RAISE_IF_ALLOCATION_FAILURE is not supported by winsim (the driver uses no exceptions)";
        }
        return "pool type " + std::to_string(base) + " is not a valid POOL_TYPE";
    }
}

std::string PoolTypeName(POOL_TYPE type)
{
    switch (static_cast<int>(type)) {
    case NonPagedPool:
        return "NonPagedPool";
    case PagedPool:
        return "PagedPool";
    case NonPagedPoolNx:
        return "NonPagedPoolNx";
    case NonPagedPoolCacheAligned:
        return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned:
        return "PagedPoolCacheAligned";
    case NonPagedPoolNxCacheAligned:
        return "NonPagedPoolNxCacheAligned";
    default:
        return "pool type " + std::to_string(static_cast<int>(type));
    }
}

std::string DescribeBlock(const Block &block)
{
    return std::to_string(block.size) + " bytes, tag '" + TagToString(block.tag) + "', " + PoolTypeName(block.type) +
           ", allocated by " + DescribeCodeAddress(block.caller);
}

void Quarantine(void *address, const Block &block)
{
    std::size_t rounded = (block.size + kAlignment - 1) / kAlignment * kAlignment;
    __builtin_memset(address, kFreedFill, rounded == 0 ? kAlignment : rounded);
    WINSIM_POISON(address, rounded == 0 ? kAlignment : rounded);
    PoolState &pool = Pool();
    std::lock_guard<std::mutex> lock(pool.quarantineMutex);
    pool.quarantine.emplace_back(address, block);
    pool.quarantined[address] = block;
    if (pool.quarantine.size() > kQuarantineBlocks) {
        auto [oldest, oldBlock] = pool.quarantine.front();
        pool.quarantine.pop_front();
        pool.quarantined.erase(oldest);
        std::size_t oldRounded = (oldBlock.size + kAlignment - 1) / kAlignment * kAlignment;
        WINSIM_UNPOISON(oldest, oldRounded == 0 ? kAlignment : oldRounded);
        std::free(oldest);
    }
}

bool FindQuarantined(const void *address, Block *block)
{
    PoolState &pool = Pool();
    std::lock_guard<std::mutex> lock(pool.quarantineMutex);
    auto it = pool.quarantined.find(address);
    if (it == pool.quarantined.end()) {
        return false;
    }
    *block = it->second;
    return true;
}

void FreeBlock(const char *call, PVOID address, bool checkTag, ULONG tag, const void *caller)
{
    if (address == nullptr) {
        ReportViolation(call, "frees a NULL pointer (BAD_POOL_CALLER)");
        return;
    }
    Block block{};
    bool found = false;
    {
        Shard &shard = ShardFor(address);
        std::lock_guard<std::mutex> lock(shard.mutex);
        auto it = shard.live.find(address);
        if (it != shard.live.end()) {
            block = it->second;
            shard.CountLocked(block, false);
            shard.live.erase(it);
            found = true;
        }
    }
    if (!found) {
        Block freed{};
        if (FindQuarantined(address, &freed)) {
            ReportViolation(call, "double free of a block already freed (" + DescribeBlock(freed) + "), freed again by " +
                                      DescribeCodeAddress(caller));
        } else {
            ReportViolation(call, "frees an address that is not a pool allocation, called by " + DescribeCodeAddress(caller));
        }
        return;
    }
    RequireIrqlAtMost(call, IsPagedType(block.type) ? APC_LEVEL : DISPATCH_LEVEL);
    if (checkTag && tag != 0 && (tag & ~PROTECTED_POOL) != (block.tag & ~PROTECTED_POOL)) {
        ReportViolation(call, "frees with tag '" + TagToString(tag) + "' a block allocated with tag '" +
                                  TagToString(block.tag) + "' (" + DescribeBlock(block) + ")");
    }
    std::string resource;
    if (ForgetLiveResourceInRange(address, block.size, &resource)) {
        ReportViolation(call, "frees pool that still holds " + resource + " (" + DescribeBlock(block) + ")");
    }
    if (ReleaseMode()) {
        // No quarantine: a second free of this address is still refused, as memory that
        // is not a pool allocation, but without the block's history.
        std::free(address);
        return;
    }
    Quarantine(address, block);
}

}  // namespace

std::string TagToString(ULONG tag)
{
    if (tag == 0) {
        return "";
    }
    std::string text;
    for (int i = 0; i < 4; ++i) {
        auto c = static_cast<unsigned char>((tag >> (8 * i)) & 0xFF);
        if (c >= 0x20 && c < 0x7F) {
            text.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            text += escaped;
        }
    }
    return text;
}

void CollectPoolOutstanding(std::vector<OutstandingItem> &items)
{
    for (Shard &shard : Pool().shards) {
        std::lock_guard<std::mutex> lock(shard.mutex);
        for (const auto &[address, block] : shard.live) {
            if (!block.platformOwned) {
                items.push_back(OutstandingItem{"pool", address, DescribeBlock(block)});
            }
        }
    }
}

void HandPoolToPlatform(const void *address)
{
    Shard &shard = ShardFor(address);
    std::lock_guard<std::mutex> lock(shard.mutex);
    auto it = shard.live.find(address);
    if (it != shard.live.end() && !it->second.platformOwned) {
        shard.CountLocked(it->second, false);
        it->second.platformOwned = true;
    }
}

}  // namespace winsim::kernel

namespace winsim {

std::size_t OutstandingAllocations()
{
    std::size_t count = 0;
    for (kernel::Shard &shard : kernel::Pool().shards) {
        std::lock_guard<std::mutex> lock(shard.mutex);
        for (const auto &[tag, blocks] : shard.driverOwnedByTag) {
            count += blocks;
        }
    }
    return count;
}

std::size_t OutstandingAllocations(std::string_view tag)
{
    // Four printable characters name one tag value: compare values, not texts (fuzz targets
    // count by tag after every input).
    bool plain = tag.size() == 4;
    ULONG value = 0;
    for (std::size_t i = 0; plain && i < 4; ++i) {
        const auto c = static_cast<unsigned char>(tag[i]);
        plain = c >= 0x20 && c < 0x7F && c != '\\';
        value |= static_cast<ULONG>(c) << (8 * i);
    }
    std::size_t count = 0;
    for (kernel::Shard &shard : kernel::Pool().shards) {
        std::lock_guard<std::mutex> lock(shard.mutex);
        if (plain) {
            auto it = shard.driverOwnedByTag.find(value);
            count += it != shard.driverOwnedByTag.end() ? it->second : 0;
            continue;
        }
        for (const auto &[tagValue, blocks] : shard.driverOwnedByTag) {
            if (kernel::TagToString(tagValue) == tag) {
                count += blocks;
            }
        }
    }
    return count;
}

}  // namespace winsim

using namespace winsim::kernel;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    const void *caller = __builtin_return_address(0);
    std::string typeProblem = CheckPoolType(PoolType);
    if (!typeProblem.empty()) {
        winsim::ReportViolation("ExAllocatePoolWithTag", typeProblem);
        return nullptr;
    }
    if (!RequireIrqlAtMost("ExAllocatePoolWithTag", IsPagedType(PoolType) ? APC_LEVEL : DISPATCH_LEVEL)) {
        return nullptr;
    }
    if (NumberOfBytes == 0) {
        winsim::ReportViolation("ExAllocatePoolWithTag", "requests a zero-byte allocation, called by " +
                                                             DescribeCodeAddress(caller));
    }
    NTSTATUS injected = STATUS_SUCCESS;
    bool failCall = winsim::faults::ShouldFail("ExAllocatePoolWithTag", &injected);
    if (!ReleaseMode() || AllocationFaultsArmed()) {
        failCall = winsim::faults::ShouldFailAllocation(TagToString(Tag)) || failCall;
    }
    if (failCall) {
        return nullptr;
    }
    std::size_t alignment = NumberOfBytes >= kPageSize ? kPageSize : kAlignment;
    std::size_t rounded = (NumberOfBytes + alignment - 1) / alignment * alignment;
    if (rounded == 0) {
        rounded = kAlignment;
    }
    void *address = std::aligned_alloc(alignment, rounded);
    if (address == nullptr) {
        return nullptr;
    }
    __builtin_memset(address, kFreshFill, rounded);
    Shard &shard = ShardFor(address);
    std::lock_guard<std::mutex> lock(shard.mutex);
    Block &block = shard.live[address];
    block = Block{Tag, PoolType, NumberOfBytes, caller};
    shard.CountLocked(block, true);
    return address;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { FreeBlock("ExFreePoolWithTag", P, true, Tag, __builtin_return_address(0)); }

VOID NTAPI ExFreePool(PVOID P) { FreeBlock("ExFreePool", P, false, 0, __builtin_return_address(0)); }

}  // extern "C"
