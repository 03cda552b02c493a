/*
 * rule_store.cpp
 *
 * The process rule store: a case-insensitive AVL table of file names with a mode, behind
 * an executive resource. A replacement builds its table completely outside the lock and
 * swaps it in whole under the exclusive lock; lookups take the lock shared.
 */
#include <ntddk.h>

#include "pool_tags.h"
#include "rule_store.h"
#include "../trace/trace.h"
#include "rule_store.tmh"

PRULE_STORE RuleStore = nullptr;

// A node of the name table: the package's link header, then the element.
typedef struct _NAME_ENTRY_NODE {
    RTL_BALANCED_LINKS Links;  // owned by the AVL package
    NAME_ENTRY Entry;          // the element: what lookups and the compare routine see
} NAME_ENTRY_NODE, *PNAME_ENTRY_NODE;
C_ASSERT(FIELD_OFFSET(NAME_ENTRY_NODE, Entry) == sizeof(RTL_BALANCED_LINKS));

static _Function_class_(RTL_AVL_COMPARE_ROUTINE)
RTL_GENERIC_COMPARE_RESULTS NTAPI CompareNames(_In_ PRTL_AVL_TABLE Table, _In_ PVOID First, _In_ PVOID Second)
{
    UNREFERENCED_PARAMETER(Table);
    LONG order =
        RtlCompareUnicodeString(&static_cast<PNAME_ENTRY>(First)->Name, &static_cast<PNAME_ENTRY>(Second)->Name, TRUE);

    return order < 0 ? GenericLessThan : order > 0 ? GenericGreaterThan : GenericEqual;
}

// Frees a node that is not (or no longer) in a table; clears the caller's pointer.
static VOID FreeNameNode(_Inout_ PNAME_ENTRY_NODE *Node)
{
    PNAME_ENTRY_NODE node = *Node;

    if (node == nullptr) {
        return;
    }
    if (node->Entry.Name.Buffer != nullptr) {
        ExFreePoolWithTag(node->Entry.Name.Buffer, QVR_TAG_POLICY);
    }
    ExFreePoolWithTag(node, QVR_TAG_POLICY);
    *Node = nullptr;
}

// The table's free routine: the package hands over the node it got from the allocate routine.
static _Function_class_(RTL_AVL_FREE_ROUTINE)
VOID NTAPI FreeNameTableNode(_In_ PRTL_AVL_TABLE Table, _In_ PVOID Node)
{
    UNREFERENCED_PARAMETER(Table);
    PNAME_ENTRY_NODE node = static_cast<PNAME_ENTRY_NODE>(Node);

    FreeNameNode(&node);
}

_Must_inspect_result_
static NTSTATUS AllocateNameTable(_Outptr_ PAVL_TABLE_WITH_PENDING *Table)
{
    PAVL_TABLE_WITH_PENDING table = static_cast<PAVL_TABLE_WITH_PENDING>(
        ExAllocatePoolWithTag(PagedPool, sizeof(AVL_TABLE_WITH_PENDING), QVR_TAG_POLICY));

    *Table = nullptr;
    if (table == nullptr) {
        return STATUS_NO_MEMORY;
    }
    RtlInitializeGenericTableAvl(&table->Avl, CompareNames, AllocatePendingElement, FreeNameTableNode, table);
    table->PendingElement = nullptr;
    *Table = table;
    return STATUS_SUCCESS;
}

// Deletes every name and frees the table; clears the caller's pointer.
static VOID FreeNameTable(_Inout_ PAVL_TABLE_WITH_PENDING *Table)
{
    PAVL_TABLE_WITH_PENDING table = *Table;
    PVOID element;

    if (table == nullptr) {
        return;
    }
    while ((element = RtlEnumerateGenericTableAvl(&table->Avl, TRUE)) != nullptr) {
        RtlDeleteElementGenericTableAvl(&table->Avl, element);
    }
    ExFreePoolWithTag(table, QVR_TAG_POLICY);
    *Table = nullptr;
}

// A node holding a copy of Length characters and a terminating zero.
_Must_inspect_result_
static NTSTATUS MakeNameNode(_In_reads_(Length) PCWCH Characters, _In_ ULONG Length, _Outptr_ PNAME_ENTRY_NODE *Node)
{
    PNAME_ENTRY_NODE node;
    ULONG bytes = Length * sizeof(WCHAR);

    *Node = nullptr;
    node = static_cast<PNAME_ENTRY_NODE>(ExAllocatePoolWithTag(PagedPool, sizeof(NAME_ENTRY_NODE), QVR_TAG_POLICY));
    if (node == nullptr) {
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(node, sizeof(NAME_ENTRY_NODE));
    node->Entry.Name.Buffer =
        static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), QVR_TAG_POLICY));
    if (node->Entry.Name.Buffer == nullptr) {
        FreeNameNode(&node);
        return STATUS_NO_MEMORY;
    }
    RtlCopyMemory(node->Entry.Name.Buffer, Characters, bytes);
    node->Entry.Name.Buffer[Length] = L'\0';
    node->Entry.Name.Length = static_cast<USHORT>(bytes);
    node->Entry.Name.MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    *Node = node;
    return STATUS_SUCCESS;
}

// Enters the node; the table owns it on success. STATUS_UNSUCCESSFUL for a duplicate name.
_Must_inspect_result_
static NTSTATUS InsertNameNode(_Inout_ PAVL_TABLE_WITH_PENDING Table, _Inout_ PNAME_ENTRY_NODE *Node)
{
    BOOLEAN isNew = FALSE;
    PVOID element;

    Table->PendingElement = *Node;
    element = RtlInsertElementGenericTableAvl(&Table->Avl, &(*Node)->Entry, 0, &isNew);
    Table->PendingElement = nullptr;
    if (element == nullptr) {
        return STATUS_NO_MEMORY;
    }
    if (!isNew) {
        return STATUS_UNSUCCESSFUL;
    }
    *Node = nullptr;
    return STATUS_SUCCESS;
}

// Characters before the first zero among the first Available; Available if there is none.
static SIZE_T BoundedNameLength(_In_reads_(Available) PCWCH Characters, _In_ SIZE_T Available)
{
    SIZE_T length = 0;

    while (length < Available && length < MAXLONG && Characters[length] != L'\0') {
        ++length;
    }
    return length;
}

// Builds the table of Count names from the area; the caller frees it on failure.
_Must_inspect_result_
static NTSTATUS BuildNameTable(_In_reads_bytes_opt_(AreaSize) const VOID *NamesArea, _In_ SIZE_T AreaSize,
                               _In_ ULONG Count, _Inout_ PAVL_TABLE_WITH_PENDING Table)
{
    NTSTATUS status = STATUS_SUCCESS;
    PCWCH position = static_cast<PCWCH>(NamesArea);
    SIZE_T available = AreaSize / sizeof(WCHAR);
    PNAME_ENTRY_NODE node = nullptr;

    if (Count > 0 && (NamesArea == nullptr || (reinterpret_cast<ULONG_PTR>(NamesArea) % sizeof(WCHAR)) != 0)) {
        status = STATUS_INVALID_PARAMETER;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_RULES, "%!FUNC!: names area missing or misaligned %!STATUS!", status);
        goto Exit;
    }
    for (ULONG index = 0; index < Count; ++index) {
        SIZE_T length = BoundedNameLength(position, available);
        if (length == available) {
            status = STATUS_INVALID_PARAMETER;
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_RULES, "%!FUNC!: name %u of %u has no terminator %!STATUS!", index,
                        Count, status);
            goto Exit;
        }
        if (length > RULE_STORE_MAX_NAME_CHARS) {
            status = STATUS_INVALID_PARAMETER;
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_RULES, "%!FUNC!: name %u is %I64u characters long %!STATUS!", index,
                        static_cast<UINT64>(length), status);
            goto Exit;
        }
        status = MakeNameNode(position, static_cast<ULONG>(length), &node);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_RULES, "%!FUNC!: name %u %!STATUS!", index, status);
            goto Exit;
        }
        status = InsertNameNode(Table, &node);
        if (!NT_SUCCESS(status)) {
            // STATUS_UNSUCCESSFUL: the same name, without regard to case, is listed already.
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_RULES, "%!FUNC!: name %u (%wZ) not entered %!STATUS!", index,
                        &node->Entry.Name, status);
            goto Exit;
        }
        position += length + 1;
        available -= length + 1;
    }

Exit:
    FreeNameNode(&node);
    return status;
}

NTSTATUS ReplaceRules(const VOID *NamesArea, SIZE_T AreaSize, ULONG Count, BOOLEAN Mode)
{
    NTSTATUS status;
    PAVL_TABLE_WITH_PENDING table = nullptr;
    PAVL_TABLE_WITH_PENDING previous;

    PAGED_CODE();
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_RULES, "%!FUNC!: %u names in %I64u bytes, mode %u", Count,
                static_cast<UINT64>(AreaSize), Mode);
    if (RuleStore == nullptr) {
        status = STATUS_INVALID_DEVICE_STATE;
        goto Exit;
    }
    status = AllocateNameTable(&table);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }
    status = BuildNameTable(NamesArea, AreaSize, Count, table);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(RuleStore->Lock, TRUE);
    previous = RuleStore->Names;
    RuleStore->Names = table;
    RuleStore->Mode = Mode;
    ExReleaseResourceLite(RuleStore->Lock);
    KeLeaveCriticalRegion();
    // No reader can still be in the old table: the exclusive acquisition waited for them.
    table = previous;

Exit:
    FreeNameTable(&table);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_RULES, "%!FUNC!: result %!STATUS!", status);
    return status;
}

BOOLEAN IsNameIntercepted(PCUNICODE_STRING FileName)
{
    NAME_ENTRY key;
    BOOLEAN found;
    BOOLEAN mode;

    PAGED_CODE();
    if (RuleStore == nullptr) {
        return FALSE;
    }
    key.Name = *FileName;
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(RuleStore->Lock, TRUE);
    found = RtlLookupElementGenericTableAvl(&RuleStore->Names->Avl, &key) != nullptr ? TRUE : FALSE;
    mode = RuleStore->Mode;
    ExReleaseResourceLite(RuleStore->Lock);
    KeLeaveCriticalRegion();

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_RULES, "%!FUNC!: %wZ listed %!bool!, mode %!bool!", FileName, found, mode);
    return found == mode ? TRUE : FALSE;
}

BOOLEAN IsImageIntercepted(PCUNICODE_STRING ImagePath)
{
    UNICODE_STRING fileName;
    USHORT characters;
    USHORT start;

    PAGED_CODE();
    if (ImagePath == nullptr || ImagePath->Buffer == nullptr) {
        return FALSE;
    }
    characters = ImagePath->Length / sizeof(WCHAR);
    start = characters;
    while (start > 0 && ImagePath->Buffer[start - 1] != L'\\' && ImagePath->Buffer[start - 1] != L'/') {
        --start;
    }
    // No separator, or nothing after the last one: there is no file name to judge.
    if (start == 0 || start == characters) {
        return FALSE;
    }
    fileName.Buffer = ImagePath->Buffer + start;
    fileName.Length = static_cast<USHORT>((characters - start) * sizeof(WCHAR));
    fileName.MaximumLength = fileName.Length;
    return IsNameIntercepted(&fileName);
}

// Frees what InitRuleStore got so far; Lock is non-null only once it was initialised.
static VOID FreeRuleStoreParts(_Inout_ PRULE_STORE *Store)
{
    PRULE_STORE store = *Store;

    if (store == nullptr) {
        return;
    }
    FreeNameTable(&store->Names);
    if (store->Lock != nullptr) {
        ExDeleteResourceLite(store->Lock);
        ExFreePoolWithTag(store->Lock, QVR_TAG_POLICY);
        store->Lock = nullptr;
    }
    ExFreePoolWithTag(store, QVR_TAG_POLICY);
    *Store = nullptr;
}

NTSTATUS InitRuleStore(VOID)
{
    NTSTATUS status = STATUS_SUCCESS;
    PRULE_STORE store;
    PERESOURCE lock = nullptr;

    PAGED_CODE();
    store = static_cast<PRULE_STORE>(ExAllocatePoolWithTag(PagedPool, sizeof(RULE_STORE), QVR_TAG_POLICY));
    if (store == nullptr) {
        status = STATUS_NO_MEMORY;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_RULES, "%!FUNC!: store %!STATUS!", status);
        goto Exit;
    }
    RtlZeroMemory(store, sizeof(RULE_STORE));
    status = AllocateNameTable(&store->Names);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_RULES, "%!FUNC!: name table %!STATUS!", status);
        goto Exit;
    }
    lock = static_cast<PERESOURCE>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ERESOURCE), QVR_TAG_POLICY));
    if (lock == nullptr) {
        status = STATUS_NO_MEMORY;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_RULES, "%!FUNC!: lock %!STATUS!", status);
        goto Exit;
    }
    status = ExInitializeResourceLite(lock);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_RULES, "%!FUNC!: lock initialisation %!STATUS!", status);
        ExFreePoolWithTag(lock, QVR_TAG_POLICY);
        goto Exit;
    }
    store->Lock = lock;
    store->Mode = FALSE;
    RuleStore = store;
    store = nullptr;

Exit:
    FreeRuleStoreParts(&store);
    return status;
}

VOID FreeRuleStore(VOID)
{
    PRULE_STORE store = RuleStore;

    PAGED_CODE();
    RuleStore = nullptr;
    FreeRuleStoreParts(&store);
}
