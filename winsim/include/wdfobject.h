/*
 * wdfobject.h (winsim)
 *
 * Framework object attributes, typed context space and object deletion. A context type is
 * declared once with WDF_DECLARE_CONTEXT_TYPE(_WITH_NAME); its type-info record is the
 * identity the framework compares when a driver asks an object for that context.
 */
#pragma once

#include <wdftypes.h>

WDF_EXTERN_C_START

typedef enum _WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0x00,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0x00,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

typedef _Function_class_(EVT_WDF_OBJECT_CONTEXT_CLEANUP) _IRQL_requires_same_
VOID NTAPI EVT_WDF_OBJECT_CONTEXT_CLEANUP(_In_ WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP *PFN_WDF_OBJECT_CONTEXT_CLEANUP;

typedef _Function_class_(EVT_WDF_OBJECT_CONTEXT_DESTROY) _IRQL_requires_same_
VOID NTAPI EVT_WDF_OBJECT_CONTEXT_DESTROY(_In_ WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY *PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef const struct _WDF_OBJECT_CONTEXT_TYPE_INFO *PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO (*PFN_GET_UNIQUE_CONTEXT_TYPE)(VOID);

typedef struct _WDF_OBJECT_ATTRIBUTES {
    ULONG Size;                                       // sizeof(WDF_OBJECT_ATTRIBUTES)
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;  // runs when deletion starts
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;  // runs before the context is freed
    WDF_EXECUTION_LEVEL ExecutionLevel;               // callback IRQL bound
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;   // callback serialisation
    WDFOBJECT ParentObject;                           // optional parent
    size_t ContextSizeOverride;                       // larger context than the type's size
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;   // the object's context type
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;                                   // sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO)
    PCHAR ContextName;                            // the type's name
    size_t ContextSize;                           // sizeof the type
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;    // identity compared on lookup
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;  // unused here
} WDF_OBJECT_CONTEXT_TYPE_INFO, *PWDF_OBJECT_CONTEXT_TYPE_INFO;

FORCEINLINE VOID WDF_OBJECT_ATTRIBUTES_INIT(_Out_ PWDF_OBJECT_ATTRIBUTES Attributes)
{
    RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) _WDF_##_contexttype##_TYPE_INFO
#define WDF_TYPE_NAME_POINTER_TYPE(_contexttype) WDF_POINTER_TYPE_##_contexttype
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype) \
    WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype) \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI PVOID WdfObjectGetTypedContextWorker(_In_ WDFOBJECT Handle,
                                            _In_ PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);

#define WdfObjectGetTypedContext(handle, type) \
    ((type *)WdfObjectGetTypedContextWorker((WDFOBJECT)(handle), WDF_GET_CONTEXT_TYPE_INFO(type)->UniqueType))

#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                          \
    typedef _contexttype *WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                                 \
    WDF_EXTERN_C DECLSPEC_SELECTANY const WDF_OBJECT_CONTEXT_TYPE_INFO                              \
        WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = {                                                \
            sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO),                                                   \
            (PCHAR) #_contexttype,                                                                  \
            sizeof(_contexttype),                                                                   \
            &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype),                                              \
            nullptr,                                                                                \
    };                                                                                              \
    FORCEINLINE WDF_TYPE_NAME_POINTER_TYPE(_contexttype) _castingfunction(_In_ WDFOBJECT Handle)    \
    {                                                                                               \
        return (WDF_TYPE_NAME_POINTER_TYPE(_contexttype))WdfObjectGetTypedContextWorker(            \
            Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType);                           \
    }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype) \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

// Deletes a driver-deletable object (a control device, a non-default queue) and its
// children; deleting other objects is a verifier violation.
_IRQL_requires_max_(DISPATCH_LEVEL)
WDFAPI VOID WdfObjectDelete(_In_ WDFOBJECT Object);

WDF_EXTERN_C_END
