/*
 * wfp_callout_groups.h
 *
 * The driver's callout groups: the callout keys that the agent's filters name and the
 * driver-wide registration slots of each group. The group table that the WFP registration
 * walks in order is WfpInitialize's (wfp_lifecycle.h); a group joins it with one row.
 */
#pragma once

#include "wfp_callouts.h"

#define CONNECT_REDIRECT_CALLOUT_COUNT 2
#define REDIRECT_RECORDS_CALLOUT_COUNT 2
#define BLOCK_QUIC_CALLOUT_COUNT       2
#define DISCARD_CALLOUT_COUNT          8

/* A row of the group table; the count comes from the key table. */
#define WFP_CALLOUT_GROUP_ROW(Name, Keys, ClassifyFn, NotifyFn, FlowDeleteFn, Registrations)           \
    {                                                                                                  \
        (Name), RTL_NUMBER_OF(Keys), (Keys), (ClassifyFn), (NotifyFn), (FlowDeleteFn), (Registrations) \
    }

EXTERN_C_START

/* Callout keys. In the two-key groups the first key is the IPv4 callout, the second the IPv6 one. */
extern const GUID QVR_CONNECT_REDIRECT_CALLOUT_V4_KEY;
extern const GUID QVR_CONNECT_REDIRECT_CALLOUT_V6_KEY;
extern const GUID QVR_REDIRECT_RECORDS_CALLOUT_V4_KEY;
extern const GUID QVR_REDIRECT_RECORDS_CALLOUT_V6_KEY;
extern const GUID QVR_BLOCK_QUIC_CALLOUT_V4_KEY;
extern const GUID QVR_BLOCK_QUIC_CALLOUT_V6_KEY;
extern const GUID QVR_DISCARD_CALLOUT_1_KEY;
extern const GUID QVR_DISCARD_CALLOUT_2_KEY;
extern const GUID QVR_DISCARD_CALLOUT_3_KEY;
extern const GUID QVR_DISCARD_CALLOUT_4_KEY;
extern const GUID QVR_DISCARD_CALLOUT_5_KEY;
extern const GUID QVR_DISCARD_CALLOUT_6_KEY;
extern const GUID QVR_DISCARD_CALLOUT_7_KEY;
extern const GUID QVR_DISCARD_CALLOUT_8_KEY;

/* Key tables, in slot order. */
extern const GUID *const ConnectRedirectCalloutKeys[CONNECT_REDIRECT_CALLOUT_COUNT];
extern const GUID *const RedirectRecordsCalloutKeys[REDIRECT_RECORDS_CALLOUT_COUNT];
extern const GUID *const BlockQuicCalloutKeys[BLOCK_QUIC_CALLOUT_COUNT];
extern const GUID *const DiscardCalloutKeys[DISCARD_CALLOUT_COUNT];

/*
 * Registration slots, null while not registered. Written only by WfpInitialize and
 * WfpUninitialize; the redirect-records slots (IPv4 first) also give the run-time callout
 * ids that flow contexts are associated under.
 */
extern PCALLOUT_REGISTRATION ConnectRedirectRegistrations[CONNECT_REDIRECT_CALLOUT_COUNT];
extern PCALLOUT_REGISTRATION RedirectRecordsRegistrations[REDIRECT_RECORDS_CALLOUT_COUNT];
extern PCALLOUT_REGISTRATION BlockQuicRegistrations[BLOCK_QUIC_CALLOUT_COUNT];
extern PCALLOUT_REGISTRATION DiscardRegistrations[DISCARD_CALLOUT_COUNT];

EXTERN_C_END
