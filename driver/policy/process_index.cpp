/*
 * process_index.cpp
 *
 * The process table's lock-free read index (process_index.h): linear probing with
 * backward-shift deletion, so no tombstones build up as processes come and go.
 */
#include "process_index.h"

#include "pool_tags.h"

/* The index's arrays carry the process policy's tag, as the table does. */
#define PROCESS_INDEX_TAG QVR_TAG_POLICY

#define PROCESS_INDEX_MIN_CAPACITY 64
/* 4M slots (64 MB) hold two million processes; past that the tree answers. */
#define PROCESS_INDEX_MAX_CAPACITY (1UL << 22)

/* Fibonacci hashing: ids are multiples of four and close together; the product's top
   bits spread them. */
static ULONG HomeSlot(_In_ const PROCESS_INDEX_ARRAY *Array, _In_ UINT64 ProcessId)
{
    return static_cast<ULONG>((ProcessId * 0x9E3779B97F4A7C15ULL) >> Array->Shift);
}

/* A writer keeps every array at most half full, so probes stay short. */
static BOOLEAN HasRoom(_In_ const PROCESS_INDEX_ARRAY *Array, _In_ ULONG Count)
{
    return Count <= Array->Capacity / 2;
}

static VOID BeginChange(_Inout_ PPROCESS_INDEX Index)
{
    (VOID) InterlockedIncrement(&Index->Sequence);
}

static VOID EndChange(_Inout_ PPROCESS_INDEX Index)
{
    (VOID) InterlockedIncrement(&Index->Sequence);
}

static VOID WriteSlot(_Inout_ PROCESS_INDEX_SLOT *Slot, _In_ UINT64 ProcessId, _In_ LONG State)
{
    WriteRelease64(&Slot->ProcessId, static_cast<LONG64>(ProcessId));
    WriteRelease(&Slot->State, State);
}

static VOID PutSlot(_Inout_ PPROCESS_INDEX_ARRAY Array, _In_ UINT64 ProcessId, _In_ BOOLEAN Intercept)
{
    const ULONG mask = Array->Capacity - 1;
    ULONG i = HomeSlot(Array, ProcessId);

    while (Array->Slots[i].State != PROCESS_SLOT_EMPTY && static_cast<UINT64>(Array->Slots[i].ProcessId) != ProcessId) {
        i = (i + 1) & mask;
    }
    WriteSlot(&Array->Slots[i], ProcessId, Intercept ? PROCESS_SLOT_INTERCEPTED : PROCESS_SLOT_KEPT);
}

/* Empties the process's slot and moves later slots of the same run back into the hole,
   each no further than its home slot, so every key stays reachable from its home. */
static VOID TakeSlot(_Inout_ PPROCESS_INDEX_ARRAY Array, _In_ UINT64 ProcessId)
{
    const ULONG mask = Array->Capacity - 1;
    ULONG hole = HomeSlot(Array, ProcessId);
    ULONG next;
    ULONG home;

    for (;;) {
        if (Array->Slots[hole].State == PROCESS_SLOT_EMPTY) {
            return;
        }
        if (static_cast<UINT64>(Array->Slots[hole].ProcessId) == ProcessId) {
            break;
        }
        hole = (hole + 1) & mask;
    }
    for (next = (hole + 1) & mask; Array->Slots[next].State != PROCESS_SLOT_EMPTY; next = (next + 1) & mask) {
        home = HomeSlot(Array, static_cast<UINT64>(Array->Slots[next].ProcessId));
        // The slot may fill the hole when the hole lies between its home and itself.
        if (((next - home) & mask) >= ((next - hole) & mask)) {
            WriteSlot(&Array->Slots[hole], static_cast<UINT64>(Array->Slots[next].ProcessId), Array->Slots[next].State);
            hole = next;
        }
    }
    WriteSlot(&Array->Slots[hole], 0, PROCESS_SLOT_EMPTY);
}

/* Empties an array that was in use, slot by slot: readers may be probing it. */
static VOID ClearSlots(_Inout_ PPROCESS_INDEX_ARRAY Array)
{
    ULONG i;

    for (i = 0; i < Array->Capacity; ++i) {
        if (Array->Slots[i].State != PROCESS_SLOT_EMPTY) {
            WriteSlot(&Array->Slots[i], 0, PROCESS_SLOT_EMPTY);
        }
    }
}

/* Every process of the tree into an empty array. */
static VOID FillFromTree(_In_ const PROCESS_INDEX *Index, _Inout_ PPROCESS_INDEX_ARRAY Array, _In_ PRTL_AVL_TABLE Tree)
{
    PVOID restartKey = nullptr;
    PVOID element;
    UINT64 processId;
    BOOLEAN intercept;

    // Without splaying, as the watcher's poll: the tree's shape is left as it is.
    for (element = RtlEnumerateGenericTableWithoutSplayingAvl(Tree, &restartKey); element != nullptr;
         element = RtlEnumerateGenericTableWithoutSplayingAvl(Tree, &restartKey)) {
        Index->Read(element, &processId, &intercept);
        PutSlot(Array, processId, intercept);
    }
}

/* Readers move to Array (null: to the tree). */
static VOID PublishLocked(_Inout_ PPROCESS_INDEX Index, _In_opt_ PPROCESS_INDEX_ARRAY Array)
{
    WritePointerRelease(reinterpret_cast<PVOID volatile *>(&Index->Array), Array);
}

static VOID CountLocked(_Inout_ PPROCESS_INDEX Index, _In_ PRTL_AVL_TABLE Tree)
{
    WriteRelease(&Index->Count, static_cast<LONG>(RtlNumberGenericTableElementsAvl(Tree)));
}

_Use_decl_annotations_
BOOLEAN LookupProcessIndex(PPROCESS_INDEX Index, UINT64 ProcessId, PBOOLEAN Intercept)
{
    PPROCESS_INDEX_ARRAY array;
    const PROCESS_INDEX_SLOT *slot;
    LONG sequence;
    LONG state;
    ULONG i;
    ULONG probes;
    BOOLEAN intercept;

    for (;;) {
        sequence = ReadAcquire(&Index->Sequence);
        if ((sequence & 1) != 0) {
            YieldProcessor();
            continue;
        }
        array =
            static_cast<PPROCESS_INDEX_ARRAY>(ReadPointerAcquire(reinterpret_cast<PVOID volatile *>(&Index->Array)));
        if (array == nullptr) {
            // The tree answers under the lock, which is always right.
            return FALSE;
        }
        intercept = FALSE;
        i = HomeSlot(array, ProcessId);
        // Bounded even when a change under way is seen half made: the sequence rejects it.
        for (probes = 0; probes < array->Capacity; ++probes) {
            slot = &array->Slots[i];
            state = ReadAcquire(&slot->State);
            if (state == PROCESS_SLOT_EMPTY) {
                break;
            }
            if (static_cast<UINT64>(ReadAcquire64(&slot->ProcessId)) == ProcessId) {
                intercept = (state == PROCESS_SLOT_INTERCEPTED);
                break;
            }
            i = (i + 1) & (array->Capacity - 1);
        }
        if (ReadAcquire(&Index->Sequence) == sequence) {
            *Intercept = intercept;
            return TRUE;
        }
    }
}

/* The array size for Needed processes: at most half full, and at least twice the last one. */
static ULONG CapacityFor(_In_ ULONG Needed, _In_opt_ const PROCESS_INDEX_ARRAY *Newest)
{
    ULONG capacity = (Newest != nullptr) ? Newest->Capacity * 2 : PROCESS_INDEX_MIN_CAPACITY;

    while (capacity <= PROCESS_INDEX_MAX_CAPACITY && capacity / 2 < Needed) {
        capacity *= 2;
    }
    return capacity <= PROCESS_INDEX_MAX_CAPACITY ? capacity : 0;
}

_Use_decl_annotations_
BOOLEAN ProcessIndexNeedsRoom(PPROCESS_INDEX Index, ULONG Needed, PULONG Capacity)
{
    const PROCESS_INDEX_ARRAY *array =
        static_cast<PPROCESS_INDEX_ARRAY>(ReadPointerAcquire(reinterpret_cast<PVOID volatile *>(&Index->Array)));
    const PROCESS_INDEX_ARRAY *newest =
        static_cast<PPROCESS_INDEX_ARRAY>(ReadPointerAcquire(reinterpret_cast<PVOID volatile *>(&Index->Newest)));

    *Capacity = 0;
    if (array != nullptr && HasRoom(array, Needed)) {
        return FALSE;
    }
    // Given up when the tree outgrew it, and the tree has shrunk since: it serves again.
    if (array == nullptr && newest != nullptr && HasRoom(newest, Needed)) {
        return TRUE;
    }
    // Past the largest array allowed there is nothing to do: the tree answers.
    *Capacity = CapacityFor(Needed, newest);
    return *Capacity != 0;
}

_Use_decl_annotations_
PPROCESS_INDEX_ARRAY AllocateProcessIndexArray(ULONG Capacity)
{
    const SIZE_T size =
        FIELD_OFFSET(PROCESS_INDEX_ARRAY, Slots) + static_cast<SIZE_T>(Capacity) * sizeof(PROCESS_INDEX_SLOT);
    PPROCESS_INDEX_ARRAY array;
    ULONG shift = 64;
    ULONG bits;

    array = static_cast<PPROCESS_INDEX_ARRAY>(ExAllocatePoolWithTag(NonPagedPoolNx, size, PROCESS_INDEX_TAG));
    if (array != nullptr) {
        // Zero is an empty slot; nobody reads the array before it is published.
        RtlZeroMemory(array, size);
        for (bits = Capacity; bits > 1; bits >>= 1) {
            --shift;
        }
        array->Capacity = Capacity;
        array->Shift = shift;
    }
    return array;
}

_Use_decl_annotations_
VOID FreeProcessIndexArray(PPROCESS_INDEX_ARRAY Array)
{
    ExFreePoolWithTag(Array, PROCESS_INDEX_TAG);
}

_Use_decl_annotations_
BOOLEAN InstallProcessIndexLocked(PPROCESS_INDEX Index, PPROCESS_INDEX_ARRAY Fresh, PRTL_AVL_TABLE Tree)
{
    CountLocked(Index, Tree);
    if (Fresh == nullptr) {
        if (Index->Array == nullptr) {
            ReindexProcessesLocked(Index, Tree);
        }
        return FALSE;
    }
    // Another writer may have grown the index meanwhile, or the tree outgrown this array.
    if ((Index->Newest != nullptr && Fresh->Capacity <= Index->Newest->Capacity) ||
        !HasRoom(Fresh, static_cast<ULONG>(Index->Count))) {
        return FALSE;
    }
    FillFromTree(Index, Fresh, Tree);
    Fresh->Older = Index->Newest;
    WritePointerRelease(reinterpret_cast<PVOID volatile *>(&Index->Newest), Fresh);
    BeginChange(Index);
    PublishLocked(Index, Fresh);
    EndChange(Index);
    return TRUE;
}

_Use_decl_annotations_
VOID IndexProcessLocked(PPROCESS_INDEX Index, PRTL_AVL_TABLE Tree, UINT64 ProcessId, BOOLEAN Intercept)
{
    PPROCESS_INDEX_ARRAY array = Index->Array;

    CountLocked(Index, Tree);
    if (array == nullptr) {
        return;
    }
    BeginChange(Index);
    if (static_cast<ULONG>(Index->Count) > array->Capacity / 4 * 3) {
        // Outgrown before a larger array was in place: the tree answers until one is.
        PublishLocked(Index, nullptr);
    } else {
        PutSlot(array, ProcessId, Intercept);
    }
    EndChange(Index);
}

_Use_decl_annotations_
VOID UnindexProcessLocked(PPROCESS_INDEX Index, PRTL_AVL_TABLE Tree, UINT64 ProcessId)
{
    PPROCESS_INDEX_ARRAY array = Index->Array;

    CountLocked(Index, Tree);
    if (array == nullptr) {
        return;
    }
    BeginChange(Index);
    TakeSlot(array, ProcessId);
    EndChange(Index);
}

_Use_decl_annotations_
VOID ReindexProcessesLocked(PPROCESS_INDEX Index, PRTL_AVL_TABLE Tree)
{
    PPROCESS_INDEX_ARRAY newest = Index->Newest;

    CountLocked(Index, Tree);
    if (newest == nullptr) {
        return;
    }
    BeginChange(Index);
    if (HasRoom(newest, static_cast<ULONG>(Index->Count))) {
        ClearSlots(newest);
        FillFromTree(Index, newest, Tree);
        PublishLocked(Index, newest);
    } else {
        PublishLocked(Index, nullptr);
    }
    EndChange(Index);
}

_Use_decl_annotations_
VOID FreeProcessIndex(PPROCESS_INDEX Index)
{
    PPROCESS_INDEX_ARRAY array = Index->Newest;
    PPROCESS_INDEX_ARRAY older;

    Index->Array = nullptr;
    Index->Newest = nullptr;
    Index->Count = 0;
    while (array != nullptr) {
        older = array->Older;
        FreeProcessIndexArray(array);
        array = older;
    }
}
