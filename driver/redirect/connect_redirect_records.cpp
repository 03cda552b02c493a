/*
 * connect_redirect_records.cpp
 *
 * Finding our own RedirectContextRecord in a connection's redirect records: the proxy's
 * connections onwards carry the records of the connection it accepted, and the process id
 * in our record is the process on whose behalf the connection is really made.
 */
#include "connect_redirect.h"

#include "pool_tags.h"
#include "../trace/trace.h"
#include "connect_redirect_records.tmh"

_Use_decl_annotations_
const UCHAR *FindByteSequence(const UCHAR *Buffer, const UCHAR *Pattern, SIZE_T BufferLength, SIZE_T PatternLength)
{
    SIZE_T position;
    SIZE_T last;

    if (Buffer == nullptr || Pattern == nullptr || BufferLength == 0 || PatternLength == 0 ||
        BufferLength < PatternLength) {
        return nullptr;
    }
    last = BufferLength - PatternLength;
    for (position = 0; position <= last; ++position) {
        if (Buffer[position] == Pattern[0] && RtlEqualMemory(Buffer + position, Pattern, PatternLength)) {
            return Buffer + position;
        }
    }
    return nullptr;
}

_Use_decl_annotations_
NTSTATUS LookupRedirectedProcessId(const FWPS_INCOMING_METADATA_VALUES0 *MetaValues, UINT64 *ProcessId)
{
    NTSTATUS status;
    SIZE_T needed = 0;
    SIZE_T written = 0;
    SIZE_T remaining;
    UCHAR *buffer = nullptr;
    const UCHAR *marker;
    REDIRECT_CONTEXT_RECORD header;

    *ProcessId = 0;
    status = FwpsQueryConnectionSioFormatRedirectRecords0(MetaValues->redirectRecords, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL || needed == 0) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: size query %!STATUS!", status);
        return STATUS_NOT_FOUND;
    }
    buffer = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPoolNx, needed, QVR_TAG_WFP));
    if (buffer == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: %u bytes %!STATUS!", (unsigned)needed, status);
        return status;
    }
    status = FwpsQueryConnectionSioFormatRedirectRecords0(MetaValues->redirectRecords, buffer, needed, &written);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: query %!STATUS!", status);
        goto Exit;
    }
    if (written > needed) {
        written = needed;
    }

    status = STATUS_NOT_FOUND;
    marker = FindByteSequence(buffer, RedirectContextMarker, written, REDIRECT_CONTEXT_MARKER_SIZE);
    if (marker == nullptr) {
        goto Exit;
    }
    remaining = written - static_cast<SIZE_T>(marker - buffer);
    if (remaining < REDIRECT_CONTEXT_RECORD_MIN_SIZE) {
        goto Exit;
    }
    // The records are a byte stream: the record may sit at any alignment.
    RtlCopyMemory(&header, marker, sizeof(header));
    if (header.Version != REDIRECT_CONTEXT_RECORD_VERSION || remaining < header.Size) {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%!FUNC!: record version %u, size %u of %u", header.Version,
                    (unsigned)header.Size, (unsigned)remaining);
        goto Exit;
    }
    *ProcessId = header.ProcessId;
    status = STATUS_SUCCESS;

Exit:
    ExFreePoolWithTag(buffer, QVR_TAG_WFP);
    return status;
}
