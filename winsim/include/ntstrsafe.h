/*
 * ntstrsafe.h (winsim)
 *
 * The kernel's safe string routines that the driver uses, inline as in the WDK header:
 * lengths are bounded by the caller's maximum, and a missing terminator within it is an
 * error, never an overrun.
 */
#pragma once

#include <ntdef.h>
#include <ntstatus.h>
#include <sal.h>

#define NTSTRSAFE_MAX_CCH 2147483647
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH (0xffff / sizeof(WCHAR))

/* Length in characters, excluding the terminator, of a string of at most cchMax characters. */
inline NTSTATUS RtlStringCchLengthW(_In_reads_or_z_(cchMax) PCWSTR psz, _In_ size_t cchMax,
                                    _Out_opt_ size_t *pcchLength)
{
    if (psz == nullptr || cchMax > NTSTRSAFE_MAX_CCH) {
        if (pcchLength != nullptr) {
            *pcchLength = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    size_t length = 0;
    while (length < cchMax && psz[length] != 0) {
        ++length;
    }
    if (length == cchMax) {
        if (pcchLength != nullptr) {
            *pcchLength = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    if (pcchLength != nullptr) {
        *pcchLength = length;
    }
    return STATUS_SUCCESS;
}

/* Length in bytes, excluding the terminator, of a string held in at most cbMax bytes. */
inline NTSTATUS RtlStringCbLengthW(_In_reads_or_z_(cbMax / sizeof(WCHAR)) PCWSTR psz, _In_ size_t cbMax,
                                   _Out_opt_ size_t *pcbLength)
{
    size_t cchLength = 0;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (cbMax <= NTSTRSAFE_MAX_CCH * sizeof(WCHAR)) {
        status = RtlStringCchLengthW(psz, cbMax / sizeof(WCHAR), &cchLength);
    }
    if (pcbLength != nullptr) {
        *pcbLength = NT_SUCCESS(status) ? cchLength * sizeof(WCHAR) : 0;
    }
    return status;
}

/* Copies a terminated string; on truncation the result is terminated and BUFFER_OVERFLOW returned. */
inline NTSTATUS RtlStringCchCopyW(_Out_writes_(cchDest) PWSTR pszDest, _In_ size_t cchDest, _In_ PCWSTR pszSrc)
{
    if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH) {
        if (cchDest != 0 && pszDest != nullptr) {
            pszDest[0] = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    size_t i = 0;
    while (i + 1 < cchDest && pszSrc[i] != 0) {
        pszDest[i] = pszSrc[i];
        ++i;
    }
    pszDest[i] = 0;
    return pszSrc[i] == 0 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

inline NTSTATUS RtlStringCbCopyW(_Out_writes_bytes_(cbDest) PWSTR pszDest, _In_ size_t cbDest, _In_ PCWSTR pszSrc)
{
    if (cbDest > NTSTRSAFE_MAX_CCH * sizeof(WCHAR)) {
        return STATUS_INVALID_PARAMETER;
    }
    return RtlStringCchCopyW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

/* Appends a terminated string; on truncation the result is terminated and BUFFER_OVERFLOW returned. */
inline NTSTATUS RtlStringCchCatW(_Inout_updates_(cchDest) PWSTR pszDest, _In_ size_t cchDest, _In_ PCWSTR pszSrc)
{
    size_t used = 0;
    NTSTATUS status = RtlStringCchLengthW(pszDest, cchDest, &used);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RtlStringCchCopyW(pszDest + used, cchDest - used, pszSrc);
}

inline NTSTATUS RtlStringCbCatW(_Inout_updates_bytes_(cbDest) PWSTR pszDest, _In_ size_t cbDest, _In_ PCWSTR pszSrc)
{
    if (cbDest > NTSTRSAFE_MAX_CCH * sizeof(WCHAR)) {
        return STATUS_INVALID_PARAMETER;
    }
    return RtlStringCchCatW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}
