/*
 * fwpmtypes.h (winsim)
 *
 * Management-side types of the Windows Filtering Platform, shared by the kernel-mode
 * (fwpmk.h) and user-mode (fwpmu.h) management interfaces and by the run-time filter
 * (FWPS_FILTER*.providerContext): BFE states, sessions, providers, sublayers, callouts,
 * provider contexts, filters and the filtering-condition flags. Names, field orders and
 * values as in the Windows 8 SDK.
 */
#pragma once

#include <fwptypes.h>

/* IPsec and IKE policies are not stood in for; provider contexts only point at them. */
struct IPSEC_KEYING_POLICY0_;
struct IPSEC_KEYING_POLICY1_;
struct IPSEC_TRANSPORT_POLICY0_;
struct IPSEC_TRANSPORT_POLICY1_;
struct IPSEC_TRANSPORT_POLICY2_;
struct IPSEC_TUNNEL_POLICY0_;
struct IPSEC_TUNNEL_POLICY1_;
struct IPSEC_TUNNEL_POLICY2_;
struct IKEEXT_POLICY0_;
struct IKEEXT_POLICY1_;
struct IKEEXT_POLICY2_;
struct IPSEC_DOSP_OPTIONS0_;
struct FWPM_CLASSIFY_OPTIONS0_;
typedef struct FWPM_CLASSIFY_OPTIONS0_ FWPM_CLASSIFY_OPTIONS0;

/* Filtering-condition flags: the bits of the FLAGS field at the ALE and transport layers. */
#define FWP_CONDITION_FLAG_IS_LOOPBACK (0x00000001)
#define FWP_CONDITION_FLAG_IS_IPSEC_SECURED (0x00000002)
#define FWP_CONDITION_FLAG_IS_REAUTHORIZE (0x00000004)
#define FWP_CONDITION_FLAG_IS_WILDCARD_BIND (0x00000008)
#define FWP_CONDITION_FLAG_IS_RAW_ENDPOINT (0x00000010)
#define FWP_CONDITION_FLAG_IS_FRAGMENT (0x00000020)
#define FWP_CONDITION_FLAG_IS_FRAGMENT_GROUP (0x00000040)
#define FWP_CONDITION_FLAG_IS_IPSEC_NATT_RECLASSIFY (0x00000080)
#define FWP_CONDITION_FLAG_REQUIRES_ALE_CLASSIFY (0x00000100)
#define FWP_CONDITION_FLAG_IS_IMPLICIT_BIND (0x00000200)
#define FWP_CONDITION_FLAG_IS_REASSEMBLED (0x00000400)
#define FWP_CONDITION_FLAG_IS_NAME_APP_SPECIFIED (0x00004000)
#define FWP_CONDITION_FLAG_IS_PROMISCUOUS (0x00008000)
#define FWP_CONDITION_FLAG_IS_AUTH_FW (0x00010000)
#define FWP_CONDITION_FLAG_IS_RECLASSIFY (0x00020000)
#define FWP_CONDITION_FLAG_IS_OUTBOUND_PASS_THRU (0x00040000)
#define FWP_CONDITION_FLAG_IS_INBOUND_PASS_THRU (0x00080000)
#define FWP_CONDITION_FLAG_IS_CONNECTION_REDIRECTED (0x00100000)
#define FWP_CONDITION_FLAG_IS_PROXY_CONNECTION (0x00200000)
#define FWP_CONDITION_FLAG_IS_APPCONTAINER_LOOPBACK (0x00400000)
#define FWP_CONDITION_FLAG_IS_NON_APPCONTAINER_LOOPBACK (0x00800000)
#define FWP_CONDITION_FLAG_IS_RESERVED (0x01000000)
#define FWP_CONDITION_FLAG_IS_HONORING_POLICY_AUTHORIZE (0x02000000)

/* Values of the REAUTHORIZE_REASON field. */
#define FWP_CONDITION_REAUTHORIZE_REASON_POLICY_CHANGE (0x00000001)
#define FWP_CONDITION_REAUTHORIZE_REASON_NEW_ARRIVAL_INTERFACE (0x00000002)
#define FWP_CONDITION_REAUTHORIZE_REASON_NEW_NEXTHOP_INTERFACE (0x00000004)
#define FWP_CONDITION_REAUTHORIZE_REASON_PROFILE_CROSSING (0x00000008)
#define FWP_CONDITION_REAUTHORIZE_REASON_CLASSIFY_COMPLETION (0x00000010)
#define FWP_CONDITION_REAUTHORIZE_REASON_IPSEC_PROPERTIES_CHANGED (0x00000020)
#define FWP_CONDITION_REAUTHORIZE_REASON_MID_STREAM_INSPECTION (0x00000040)
#define FWP_CONDITION_REAUTHORIZE_REASON_SOCKET_PROPERTY_CHANGED (0x00000080)
#define FWP_CONDITION_REAUTHORIZE_REASON_NEW_INBOUND_MCAST_BCAST_PACKET (0x00000100)

/* State of the Base Filtering Engine service. */
typedef enum FWPM_SERVICE_STATE_ {
    FWPM_SERVICE_STOPPED = 0,
    FWPM_SERVICE_START_PENDING = 1,
    FWPM_SERVICE_STOP_PENDING = 2,
    FWPM_SERVICE_RUNNING = 3,
    FWPM_SERVICE_STATE_MAX = 4
} FWPM_SERVICE_STATE;

/* Management session. */
#define FWPM_SESSION_FLAG_DYNAMIC (0x00000001)
#define FWPM_SESSION_FLAG_RESERVED (0x10000000)

typedef struct FWPM_SESSION0_ {
    GUID sessionKey;                 /* zero: the engine assigns one */
    FWPM_DISPLAY_DATA0 displayData;  /* optional annotation */
    UINT32 flags;                    /* FWPM_SESSION_FLAG_* */
    UINT32 txnWaitTimeoutInMSec;     /* transaction lock wait; 0 = default */
    DWORD processId;                 /* output: the opening process */
    SID *sid;                        /* output: the opening user */
    WCHAR *username;                 /* output: the opening user's name */
    BOOL kernelMode;                 /* output: TRUE for a kernel-mode session */
} FWPM_SESSION0;

/* Providers. */
#define FWPM_PROVIDER_FLAG_PERSISTENT (0x00000001)
#define FWPM_PROVIDER_FLAG_DISABLED (0x00000010)

typedef struct FWPM_PROVIDER0_ {
    GUID providerKey;                /* identifies the provider */
    FWPM_DISPLAY_DATA0 displayData;  /* name required */
    UINT32 flags;                    /* FWPM_PROVIDER_FLAG_* */
    FWP_BYTE_BLOB providerData;      /* optional provider data */
    WCHAR *serviceName;              /* optional owning service */
} FWPM_PROVIDER0;

/* Provider contexts. */
#define FWPM_PROVIDER_CONTEXT_FLAG_PERSISTENT (0x00000001)
#define FWPM_PROVIDER_CONTEXT_FLAG_DOWNLEVEL (0x00000002)

typedef enum FWPM_PROVIDER_CONTEXT_TYPE_ {
    FWPM_IPSEC_KEYING_CONTEXT = 0,
    FWPM_IPSEC_IKE_QM_TRANSPORT_CONTEXT = 1,
    FWPM_IPSEC_IKE_QM_TUNNEL_CONTEXT = 2,
    FWPM_IPSEC_AUTHIP_QM_TRANSPORT_CONTEXT = 3,
    FWPM_IPSEC_AUTHIP_QM_TUNNEL_CONTEXT = 4,
    FWPM_IPSEC_IKE_MM_CONTEXT = 5,
    FWPM_IPSEC_AUTHIP_MM_CONTEXT = 6,
    FWPM_CLASSIFY_OPTIONS_CONTEXT = 7,
    FWPM_GENERAL_CONTEXT = 8,
    FWPM_IPSEC_IKEV2_QM_TUNNEL_CONTEXT = 9,
    FWPM_IPSEC_IKEV2_MM_CONTEXT = 10,
    FWPM_IPSEC_DOSP_CONTEXT = 11,
    FWPM_IPSEC_IKEV2_QM_TRANSPORT_CONTEXT = 12,
    FWPM_PROVIDER_CONTEXT_TYPE_MAX = 13
} FWPM_PROVIDER_CONTEXT_TYPE;

typedef struct FWPM_PROVIDER_CONTEXT0_ {
    GUID providerContextKey;         /* zero: the engine assigns one */
    FWPM_DISPLAY_DATA0 displayData;  /* name required */
    UINT32 flags;                    /* FWPM_PROVIDER_CONTEXT_FLAG_* */
    GUID *providerKey;               /* optional owning provider */
    FWP_BYTE_BLOB providerData;      /* optional provider data */
    FWPM_PROVIDER_CONTEXT_TYPE type; /* which member of the union is valid */
    union {
        struct IPSEC_KEYING_POLICY0_ *keyingPolicy;
        struct IPSEC_TRANSPORT_POLICY0_ *ikeQmTransportPolicy;
        struct IPSEC_TUNNEL_POLICY0_ *ikeQmTunnelPolicy;
        struct IPSEC_TRANSPORT_POLICY0_ *authipQmTransportPolicy;
        struct IPSEC_TUNNEL_POLICY0_ *authipQmTunnelPolicy;
        struct IKEEXT_POLICY0_ *ikeMmPolicy;
        struct IKEEXT_POLICY0_ *authIpMmPolicy;
        FWP_BYTE_BLOB *dataBuffer;   /* FWPM_GENERAL_CONTEXT */
        FWPM_CLASSIFY_OPTIONS0 *classifyOptions;
    };
    UINT64 providerContextId;        /* output: run-time id */
} FWPM_PROVIDER_CONTEXT0;

typedef struct FWPM_PROVIDER_CONTEXT1_ {
    GUID providerContextKey;         /* zero: the engine assigns one */
    FWPM_DISPLAY_DATA0 displayData;  /* name required */
    UINT32 flags;                    /* FWPM_PROVIDER_CONTEXT_FLAG_* */
    GUID *providerKey;               /* optional owning provider */
    FWP_BYTE_BLOB providerData;      /* optional provider data */
    FWPM_PROVIDER_CONTEXT_TYPE type; /* which member of the union is valid */
    union {
        struct IPSEC_KEYING_POLICY0_ *keyingPolicy;
        struct IPSEC_TRANSPORT_POLICY1_ *ikeQmTransportPolicy;
        struct IPSEC_TUNNEL_POLICY1_ *ikeQmTunnelPolicy;
        struct IPSEC_TRANSPORT_POLICY1_ *authipQmTransportPolicy;
        struct IPSEC_TUNNEL_POLICY1_ *authipQmTunnelPolicy;
        struct IKEEXT_POLICY1_ *ikeMmPolicy;
        struct IKEEXT_POLICY1_ *authIpMmPolicy;
        FWP_BYTE_BLOB *dataBuffer;   /* FWPM_GENERAL_CONTEXT */
        FWPM_CLASSIFY_OPTIONS0 *classifyOptions;
        struct IPSEC_TUNNEL_POLICY1_ *ikeV2QmTunnelPolicy;
        struct IKEEXT_POLICY1_ *ikeV2MmPolicy;
        struct IPSEC_DOSP_OPTIONS0_ *idpOptions;
    };
    UINT64 providerContextId;        /* output: run-time id */
} FWPM_PROVIDER_CONTEXT1;

typedef struct FWPM_PROVIDER_CONTEXT2_ {
    GUID providerContextKey;         /* zero: the engine assigns one */
    FWPM_DISPLAY_DATA0 displayData;  /* name required */
    UINT32 flags;                    /* FWPM_PROVIDER_CONTEXT_FLAG_* */
    GUID *providerKey;               /* optional owning provider */
    FWP_BYTE_BLOB providerData;      /* optional provider data */
    FWPM_PROVIDER_CONTEXT_TYPE type; /* which member of the union is valid */
    union {
        struct IPSEC_KEYING_POLICY1_ *keyingPolicy;
        struct IPSEC_TRANSPORT_POLICY2_ *ikeQmTransportPolicy;
        struct IPSEC_TUNNEL_POLICY2_ *ikeQmTunnelPolicy;
        struct IPSEC_TRANSPORT_POLICY2_ *authipQmTransportPolicy;
        struct IPSEC_TUNNEL_POLICY2_ *authipQmTunnelPolicy;
        struct IKEEXT_POLICY2_ *ikeMmPolicy;
        struct IKEEXT_POLICY2_ *authIpMmPolicy;
        FWP_BYTE_BLOB *dataBuffer;   /* FWPM_GENERAL_CONTEXT */
        FWPM_CLASSIFY_OPTIONS0 *classifyOptions;
        struct IPSEC_TUNNEL_POLICY2_ *ikeV2QmTunnelPolicy;
        struct IPSEC_TRANSPORT_POLICY2_ *ikeV2QmTransportPolicy;
        struct IKEEXT_POLICY2_ *ikeV2MmPolicy;
        struct IPSEC_DOSP_OPTIONS0_ *idpOptions;
    };
    UINT64 providerContextId;        /* output: run-time id */
} FWPM_PROVIDER_CONTEXT2;

/* Sublayers. */
#define FWPM_SUBLAYER_FLAG_PERSISTENT (0x00000001)

typedef struct FWPM_SUBLAYER0_ {
    GUID subLayerKey;                /* identifies the sublayer */
    FWPM_DISPLAY_DATA0 displayData;  /* name required */
    UINT32 flags;                    /* FWPM_SUBLAYER_FLAG_* */
    GUID *providerKey;               /* optional owning provider */
    FWP_BYTE_BLOB providerData;      /* optional provider data */
    UINT16 weight;                   /* higher is evaluated first */
} FWPM_SUBLAYER0;

/* Management-side callouts. */
#define FWPM_CALLOUT_FLAG_PERSISTENT (0x00010000)
#define FWPM_CALLOUT_FLAG_USES_PROVIDER_CONTEXT (0x00020000)
#define FWPM_CALLOUT_FLAG_REGISTERED (0x00040000)

typedef struct FWPM_CALLOUT0_ {
    GUID calloutKey;                 /* the key the driver registers under */
    FWPM_DISPLAY_DATA0 displayData;  /* name required */
    UINT32 flags;                    /* FWPM_CALLOUT_FLAG_* */
    GUID *providerKey;               /* optional owning provider */
    FWP_BYTE_BLOB providerData;      /* optional provider data */
    GUID applicableLayer;            /* the one layer its filters may sit at */
    UINT32 calloutId;                /* output: run-time id */
} FWPM_CALLOUT0;

/* Filters. */
typedef struct FWPM_ACTION0_ {
    FWP_ACTION_TYPE type;  /* FWP_ACTION_* */
    union {
        GUID filterType;   /* for FWP_ACTION_BLOCK/PERMIT: unused here */
        GUID calloutKey;   /* for callout actions */
    };
} FWPM_ACTION0;

typedef struct FWPM_FILTER_CONDITION0_ {
    GUID fieldKey;                       /* FWPM_CONDITION_* */
    FWP_MATCH_TYPE matchType;            /* how to compare */
    FWP_CONDITION_VALUE0 conditionValue; /* what to compare with */
} FWPM_FILTER_CONDITION0;

#define FWPM_FILTER_FLAG_NONE (0x00000000)
#define FWPM_FILTER_FLAG_PERSISTENT (0x00000001)
#define FWPM_FILTER_FLAG_BOOTTIME (0x00000002)
#define FWPM_FILTER_FLAG_HAS_PROVIDER_CONTEXT (0x00000004)
#define FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT (0x00000008)
#define FWPM_FILTER_FLAG_PERMIT_IF_CALLOUT_UNREGISTERED (0x00000010)
#define FWPM_FILTER_FLAG_DISABLED (0x00000020)
#define FWPM_FILTER_FLAG_INDEXED (0x00000040)

typedef struct FWPM_FILTER0_ {
    GUID filterKey;                          /* zero: the engine assigns one */
    FWPM_DISPLAY_DATA0 displayData;          /* name required */
    UINT32 flags;                            /* FWPM_FILTER_FLAG_* */
    GUID *providerKey;                       /* optional owning provider */
    FWP_BYTE_BLOB providerData;              /* optional provider data */
    GUID layerKey;                           /* FWPM_LAYER_* */
    GUID subLayerKey;                        /* zero: the default sublayer */
    FWP_VALUE0 weight;                       /* FWP_UINT64, FWP_UINT8 (0-15) or FWP_EMPTY */
    UINT32 numFilterConditions;              /* entries in filterCondition */
    FWPM_FILTER_CONDITION0 *filterCondition; /* all must match */
    FWPM_ACTION0 action;                     /* what a match does */
    union {
        UINT64 rawContext;                   /* without HAS_PROVIDER_CONTEXT */
        GUID providerContextKey;             /* with HAS_PROVIDER_CONTEXT */
    };
    GUID *reserved;                          /* NULL */
    UINT64 filterId;                         /* output: run-time id */
    FWP_VALUE0 effectiveWeight;              /* output: the weight in use */
} FWPM_FILTER0;
