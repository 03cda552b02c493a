/*
 * fwpstypes.h (winsim)
 *
 * Run-time (shim) types of the Windows Filtering Platform: the run-time filter handed to
 * a callout, the incoming values of a classify, the classify result with its rights and
 * flags, and the discard metadata. Names, field orders and values as in the Windows 8
 * SDK/WDK.
 */
#pragma once

#include <fwptypes.h>
#include <fwpmtypes.h>

/* Flags of the run-time filter (FWPS_FILTER*.flags). */
#define FWPS_FILTER_FLAG_CLEAR_ACTION_RIGHT (0x00000001)
#define FWPS_FILTER_FLAG_PERMIT_IF_CALLOUT_UNREGISTERED (0x00000002)
#define FWPS_FILTER_FLAG_OR_CONDITIONS (0x00000004)

/* Rights and flags of the classify result. */
#define FWPS_RIGHT_ACTION_WRITE (0x00000001)

#define FWPS_CLASSIFY_OUT_FLAG_ABSORB (0x00000001)
#define FWPS_CLASSIFY_OUT_FLAG_BUFFER_LIMIT_REACHED (0x00000002)
#define FWPS_CLASSIFY_OUT_FLAG_NO_MORE_DATA (0x00000004)
#define FWPS_CLASSIFY_OUT_FLAG_ALE_FAST_CACHE_CHECK (0x00000008)
#define FWPS_CLASSIFY_OUT_FLAG_ALE_FAST_CACHE_POSSIBLE (0x00000010)

typedef struct FWPS_FILTER_CONDITION0_ {
    UINT16 fieldId;                      /* FWPS_FIELD_* index of the layer */
    UINT16 reserved;                     /* zero */
    FWP_MATCH_TYPE matchType;            /* how to compare */
    FWP_CONDITION_VALUE0 conditionValue; /* what to compare with */
} FWPS_FILTER_CONDITION0;

typedef struct FWPS_ACTION0_ {
    FWP_ACTION_TYPE type;  /* FWP_ACTION_* */
    UINT32 calloutId;      /* run-time id of the callout for callout actions */
} FWPS_ACTION0;

typedef struct FWPS_FILTER0_ {
    UINT64 filterId;                         /* run-time id */
    FWP_VALUE0 weight;                       /* FWP_UINT64 or FWP_EMPTY */
    UINT16 subLayerWeight;                   /* weight of the filter's sublayer */
    UINT16 flags;                            /* FWPS_FILTER_FLAG_* */
    UINT32 numFilterConditions;              /* entries in filterCondition */
    FWPS_FILTER_CONDITION0 *filterCondition; /* the run-time conditions */
    FWPS_ACTION0 action;                     /* the filter's action */
    UINT64 context;                          /* set by notifyFn, or the filter's raw context */
    FWPM_PROVIDER_CONTEXT0 *providerContext; /* NULL without a provider context */
} FWPS_FILTER0;

typedef struct FWPS_FILTER1_ {
    UINT64 filterId;                         /* run-time id */
    FWP_VALUE0 weight;                       /* FWP_UINT64 or FWP_EMPTY */
    UINT16 subLayerWeight;                   /* weight of the filter's sublayer */
    UINT16 flags;                            /* FWPS_FILTER_FLAG_* */
    UINT32 numFilterConditions;              /* entries in filterCondition */
    FWPS_FILTER_CONDITION0 *filterCondition; /* the run-time conditions */
    FWPS_ACTION0 action;                     /* the filter's action */
    UINT64 context;                          /* set by notifyFn, or the filter's raw context */
    FWPM_PROVIDER_CONTEXT1 *providerContext; /* NULL without a provider context */
} FWPS_FILTER1;

typedef struct FWPS_FILTER2_ {
    UINT64 filterId;                         /* run-time id */
    FWP_VALUE0 weight;                       /* FWP_UINT64 or FWP_EMPTY */
    UINT16 subLayerWeight;                   /* weight of the filter's sublayer */
    UINT16 flags;                            /* FWPS_FILTER_FLAG_* */
    UINT32 numFilterConditions;              /* entries in filterCondition */
    FWPS_FILTER_CONDITION0 *filterCondition; /* the run-time conditions */
    FWPS_ACTION0 action;                     /* the filter's action */
    UINT64 context;                          /* set by notifyFn, or the filter's raw context */
    FWPM_PROVIDER_CONTEXT2 *providerContext; /* NULL without a provider context */
} FWPS_FILTER2;

typedef struct FWPS_INCOMING_VALUE0_ {
    FWP_VALUE0 value;  /* the field's value */
} FWPS_INCOMING_VALUE0;

typedef struct FWPS_INCOMING_VALUES0_ {
    UINT16 layerId;                      /* FWPS_BUILTIN_LAYERS */
    UINT32 valueCount;                   /* entries in incomingValue */
    FWPS_INCOMING_VALUE0 *incomingValue; /* indexed by the layer's FWPS_FIELD_* enumeration */
} FWPS_INCOMING_VALUES0;

typedef enum FWPS_DISCARD_MODULE0_ {
    FWPS_DISCARD_MODULE_NETWORK = 0,
    FWPS_DISCARD_MODULE_TRANSPORT = 1,
    FWPS_DISCARD_MODULE_GENERAL = 2,
    FWPS_DISCARD_MODULE_MAX = 3
} FWPS_DISCARD_MODULE0;

typedef enum FWPS_GENERAL_DISCARD_REASON_ {
    FWPS_DISCARD_FIREWALL_POLICY = 0,
    FWPS_DISCARD_IPSEC = 1,
    FWPS_GENERAL_DISCARD_REASON_MAX = 2
} FWPS_GENERAL_DISCARD_REASON;

typedef struct FWPS_DISCARD_METADATA0_ {
    FWPS_DISCARD_MODULE0 discardModule;  /* which module dropped the data */
    UINT32 discardReason;                /* module-specific reason */
    UINT64 filterId;                     /* the blocking filter, for FWPS_DISCARD_FIREWALL_POLICY */
} FWPS_DISCARD_METADATA0;

typedef struct FWPS_CLASSIFY_OUT0_ {
    FWP_ACTION_TYPE actionType;  /* the callout's decision */
    UINT64 outContext;           /* reserved for the engine */
    UINT64 filterId;             /* reserved for the engine */
    UINT32 rights;               /* FWPS_RIGHT_ACTION_WRITE */
    UINT32 flags;                /* FWPS_CLASSIFY_OUT_FLAG_* */
    UINT32 reserved;             /* reserved */
} FWPS_CLASSIFY_OUT0;
