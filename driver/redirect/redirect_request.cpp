/*
 * redirect_request.cpp
 *
 * The life of a RedirectRequest, from its acquisition in the connect-redirect classify to
 * the applying of the layer data, the completion of a pended classify and the release of
 * every handle and buffer; and the RedirectContextRecord built for each redirected
 * connection.
 */
#include "redirect_request.h"

#include "pool_tags.h"
#include "classify_values.h"
#include "../trace/trace.h"
#include "redirect_request.tmh"

/* "QVR_WFP", one NUL byte, then {A1B0956E-50F9-4C2B-9F80-CA9D32F90DD5} in memory order. */
const UCHAR RedirectContextMarker[REDIRECT_CONTEXT_MARKER_SIZE] = {
    'Q',  'V',  'R',  '_',  'W',  'F',  'P',  0x00, 0x6E, 0x95, 0xB0, 0xA1,
    0xF9, 0x50, 0x2B, 0x4C, 0x9F, 0x80, 0xCA, 0x9D, 0x32, 0xF9, 0x0D, 0xD5,
};

_Use_decl_annotations_
const REDIRECT_TARGET_BLOB *GetRedirectTargetBlob(const FWPS_FILTER1 *Filter)
{
    if (Filter->providerContext == nullptr || Filter->providerContext->dataBuffer == nullptr ||
        Filter->providerContext->dataBuffer->data == nullptr ||
        Filter->providerContext->dataBuffer->size != REDIRECT_TARGET_BLOB_SIZE) {
        return nullptr;
    }
    return reinterpret_cast<const REDIRECT_TARGET_BLOB *>(Filter->providerContext->dataBuffer->data);
}

_Use_decl_annotations_
NTSTATUS CreateRedirectRequest(PREDIRECT_REQUEST Request, const void *ClassifyContext, const FWPS_FILTER1 *Filter,
                               const REDIRECT_TARGET_BLOB *Blob, FWPS_CLASSIFY_OUT0 *ClassifyOut, HANDLE RedirectHandle)
{
    NTSTATUS status;
    PREDIRECT_REQUEST request = Request;
    PVOID layerData = nullptr;
    FWP_ACTION_TYPE entryAction = ClassifyOut->actionType;
    UINT32 entryRights = ClassifyOut->rights;

    RtlZeroMemory(request, sizeof(*request));

    status = FwpsAcquireClassifyHandle0(const_cast<void *>(ClassifyContext), 0, &request->ClassifyHandle);
    if (!NT_SUCCESS(status)) {
        request->ClassifyHandle = 0;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "FwpsAcquireClassifyHandle0 failed: %!STATUS!", status);
        goto Exit;
    }
    status =
        FwpsAcquireWritableLayerDataPointer0(request->ClassifyHandle, Filter->filterId, 0, &layerData, ClassifyOut);
    // The acquisition marks the classify blocked without the write right until the callout
    // decides; this callout decides itself below (continue, permit or pend).
    ClassifyOut->actionType = entryAction;
    ClassifyOut->rights = entryRights;
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "FwpsAcquireWritableLayerDataPointer0 failed: %!STATUS!", status);
        goto Exit;
    }
    request->ConnectRequest = static_cast<FWPS_CONNECT_REQUEST0 *>(layerData);
    request->RedirectHandle = RedirectHandle;
    // The filter's memory is WFP's and may be gone once the classify has returned; a pended
    // redirect reads this copy.
    RtlCopyMemory(&request->TargetBlob, Blob, sizeof(request->TargetBlob));

Exit:
    if (!NT_SUCCESS(status)) {
        ReleaseRedirectRequest(&request);
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS MoveRedirectRequestToPool(PREDIRECT_REQUEST *Request, const FWPS_CLASSIFY_OUT0 *ClassifyOut)
{
    NTSTATUS status;
    POOLED_REDIRECT_REQUEST *pooled;

    pooled = static_cast<POOLED_REDIRECT_REQUEST *>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(POOLED_REDIRECT_REQUEST), QVR_TAG_WFP));
    if (pooled == nullptr) {
        status = STATUS_NO_MEMORY;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: pended request %!STATUS!", status);
        return status;
    }
    pooled->Request = **Request;
    pooled->ClassifyOut = *ClassifyOut;
    pooled->Request.ClassifyOut = &pooled->ClassifyOut;
    pooled->Request.InPool = TRUE;
    // What the classify's request held is the pooled one's now.
    RtlZeroMemory(*Request, sizeof(**Request));
    *Request = &pooled->Request;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
VOID ReleaseRedirectRequest(PREDIRECT_REQUEST *Request)
{
    PREDIRECT_REQUEST request;
    BOOLEAN inPool;

    if (Request == nullptr || *Request == nullptr) {
        return;
    }
    request = *Request;

    // Writable layer data must always be handed back, changed or not.
    if (request->ConnectRequest != nullptr) {
        FwpsApplyModifiedLayerData0(request->ClassifyHandle, request->ConnectRequest,
                                    request->Pended ? FWPS_CLASSIFY_FLAG_REAUTHORIZE_IF_MODIFIED_BY_OTHERS : 0);
        request->ConnectRequest = nullptr;
    }
    if (request->ClassifyHandle != 0) {
        if (request->Pended) {
            FwpsCompleteClassify0(request->ClassifyHandle, 0, request->ClassifyOut);
            request->Pended = FALSE;
        }
        FwpsReleaseClassifyHandle0(request->ClassifyHandle);
        request->ClassifyHandle = 0;
    }
    FreeRedirectContextRecord(&request->Context);

    inPool = request->InPool;
    RtlZeroMemory(request, sizeof(*request));
    if (inPool) {
        ExFreePoolWithTag(request, QVR_TAG_WFP);
    }
    *Request = nullptr;
}

_Use_decl_annotations_
NTSTATUS BuildRedirectContextRecord(const FWPS_INCOMING_VALUES0 *FixedValues, UINT64 ProcessId,
                                    PREDIRECT_CONTEXT_RECORD *Record)
{
    NTSTATUS status;
    SOCKADDR_STORAGE remote;
    PCWSTR appId = nullptr;
    UINT32 appIdLength = 0;
    UINT16 localPort = 0;
    UINT32 size;
    PREDIRECT_CONTEXT_RECORD record;

    *Record = nullptr;
    RtlZeroMemory(&remote, sizeof(remote));
    status = GetRemoteEndpoint(FixedValues, &remote);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: remote endpoint %!STATUS!", status);
        return status;
    }
    status = GetEffectiveAppId(FixedValues, &appId, &appIdLength);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: application id %!STATUS!", status);
        return status;
    }
    status = GetLocalPort(FixedValues, &localPort);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: local port %!STATUS!", status);
        return status;
    }
    // Size is 16 bits wide: a longer id cannot be described, and a truncated record would
    // tell the redirect target a wrong application.
    if (appIdLength > REDIRECT_CONTEXT_MAX_APP_PATH_LENGTH) {
        status = STATUS_INVALID_PARAMETER;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER,
                    "%!FUNC!: application id of %u units does not fit a record %!STATUS!", appIdLength, status);
        return status;
    }

    size = REDIRECT_CONTEXT_RECORD_MIN_SIZE + 2 * appIdLength;
    record = static_cast<PREDIRECT_CONTEXT_RECORD>(ExAllocatePoolWithTag(NonPagedPoolNx, size, QVR_TAG_WFP));
    if (record == nullptr) {
        status = STATUS_NO_MEMORY;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%!FUNC!: %u bytes %!STATUS!", size, status);
        return status;
    }
    RtlZeroMemory(record, size);
    RtlCopyMemory(record, RedirectContextMarker, REDIRECT_CONTEXT_MARKER_SIZE);
    record->Size = static_cast<UINT16>(size);
    record->Version = REDIRECT_CONTEXT_RECORD_VERSION;
    record->LocalPort = localPort;
    RtlCopyMemory(&record->RequestedRemote, &remote, sizeof(remote));
    record->ProcessId = ProcessId;
    record->AppPathLength = appIdLength;
    RtlCopyMemory(record->AppPath, appId, (SIZE_T)appIdLength * sizeof(WCHAR));
    // The terminator after the text is already 0.
    *Record = record;
    return STATUS_SUCCESS;
}

_Use_decl_annotations_
VOID FreeRedirectContextRecord(PREDIRECT_CONTEXT_RECORD *Record)
{
    if (*Record == nullptr) {
        return;
    }
    ExFreePoolWithTag(*Record, QVR_TAG_WFP);
    *Record = nullptr;
}
