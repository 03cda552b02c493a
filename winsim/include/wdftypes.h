/*
 * wdftypes.h (winsim)
 *
 * Framework handle types and the small shared definitions of KMDF 1.11. Handles are
 * opaque pointer-sized values; a driver never looks inside them.
 */
#pragma once

#include <ntddk.h>

#define WDFAPI NTAPI  // the framework's DDIs are __stdcall on x86
#define WDF_EXTERN_C EXTERN_C
#define WDF_EXTERN_C_START EXTERN_C_START  // the framework's DDIs have C linkage
#define WDF_EXTERN_C_END EXTERN_C_END

#ifndef DECLARE_HANDLE
#define DECLARE_HANDLE(name) \
    struct name##__ {        \
        int unused;          \
    };                       \
    typedef struct name##__ *name
#endif

typedef enum _WDF_TRI_STATE {
    WdfFalse = FALSE,
    WdfTrue = TRUE,
    WdfUseDefault = 2,
} WDF_TRI_STATE, *PWDF_TRI_STATE;

typedef PVOID WDFCONTEXT;
typedef HANDLE WDFOBJECT, *PWDFOBJECT;

DECLARE_HANDLE(WDFDRIVER);
DECLARE_HANDLE(WDFDEVICE);
DECLARE_HANDLE(WDFQUEUE);
DECLARE_HANDLE(WDFREQUEST);
DECLARE_HANDLE(WDFFILEOBJECT);

typedef struct WDFDEVICE_INIT *PWDFDEVICE_INIT;

#define WDF_NO_OBJECT_ATTRIBUTES (nullptr)
#define WDF_NO_EVENT_CALLBACK (nullptr)
#define WDF_NO_HANDLE (nullptr)
#define WDF_NO_CONTEXT (nullptr)
