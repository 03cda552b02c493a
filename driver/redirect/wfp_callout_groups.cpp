/*
 * wfp_callout_groups.cpp
 *
 * The callout keys of the driver, the driver-wide registration slots of each group and
 * the group table that WfpInitialize registers in order and WfpUninitialize unregisters.
 */
#include "wfp_callout_groups.h"

#include "connect_redirect.h"
#include "../flow/auth_connect.h"
#include "../flow/quic_discard.h"

/* {6F02977B-40DA-462E-9BE5-D86017BF42C1} */
const GUID QVR_CONNECT_REDIRECT_CALLOUT_V4_KEY = {
    0x6f02977b, 0x40da, 0x462e, {0x9b, 0xe5, 0xd8, 0x60, 0x17, 0xbf, 0x42, 0xc1}};
/* {5F9A8C4F-9184-42DD-A6FD-B833D340948C} */
const GUID QVR_CONNECT_REDIRECT_CALLOUT_V6_KEY = {
    0x5f9a8c4f, 0x9184, 0x42dd, {0xa6, 0xfd, 0xb8, 0x33, 0xd3, 0x40, 0x94, 0x8c}};
/* {C81FB91A-DFC6-4986-905A-F2A1BF708865} */
const GUID QVR_REDIRECT_RECORDS_CALLOUT_V4_KEY = {
    0xc81fb91a, 0xdfc6, 0x4986, {0x90, 0x5a, 0xf2, 0xa1, 0xbf, 0x70, 0x88, 0x65}};
/* {28CE63BF-AF6A-4F44-8055-44F415D1A5C6} */
const GUID QVR_REDIRECT_RECORDS_CALLOUT_V6_KEY = {
    0x28ce63bf, 0xaf6a, 0x4f44, {0x80, 0x55, 0x44, 0xf4, 0x15, 0xd1, 0xa5, 0xc6}};
/* {98B742D3-1509-4E79-82FD-4A8BC6677A35} */
const GUID QVR_BLOCK_QUIC_CALLOUT_V4_KEY = {
    0x98b742d3, 0x1509, 0x4e79, {0x82, 0xfd, 0x4a, 0x8b, 0xc6, 0x67, 0x7a, 0x35}};
/* {0AC25D50-438F-4EC7-A997-5B44F96F1DE2} */
const GUID QVR_BLOCK_QUIC_CALLOUT_V6_KEY = {
    0x0ac25d50, 0x438f, 0x4ec7, {0xa9, 0x97, 0x5b, 0x44, 0xf9, 0x6f, 0x1d, 0xe2}};
/* {278BDF1A-3F99-4FE6-998B-D3E21535550F} */
const GUID QVR_DISCARD_CALLOUT_1_KEY = {0x278bdf1a, 0x3f99, 0x4fe6, {0x99, 0x8b, 0xd3, 0xe2, 0x15, 0x35, 0x55, 0x0f}};
/* {177696F6-A089-49F8-B550-BB9F111E8B6B} */
const GUID QVR_DISCARD_CALLOUT_2_KEY = {0x177696f6, 0xa089, 0x49f8, {0xb5, 0x50, 0xbb, 0x9f, 0x11, 0x1e, 0x8b, 0x6b}};
/* {0A41F5E2-0ACD-49DF-91E6-8BD0452AC05B} */
const GUID QVR_DISCARD_CALLOUT_3_KEY = {0x0a41f5e2, 0x0acd, 0x49df, {0x91, 0xe6, 0x8b, 0xd0, 0x45, 0x2a, 0xc0, 0x5b}};
/* {9F625434-DFC5-4581-BB9A-FEC3AEFB050A} */
const GUID QVR_DISCARD_CALLOUT_4_KEY = {0x9f625434, 0xdfc5, 0x4581, {0xbb, 0x9a, 0xfe, 0xc3, 0xae, 0xfb, 0x05, 0x0a}};
/* {8F3A0EA1-9CAF-451E-9867-47E784AC1080} */
const GUID QVR_DISCARD_CALLOUT_5_KEY = {0x8f3a0ea1, 0x9caf, 0x451e, {0x98, 0x67, 0x47, 0xe7, 0x84, 0xac, 0x10, 0x80}};
/* {91A0B7C6-C422-4679-BC7A-2BA7497BE275} */
const GUID QVR_DISCARD_CALLOUT_6_KEY = {0x91a0b7c6, 0xc422, 0x4679, {0xbc, 0x7a, 0x2b, 0xa7, 0x49, 0x7b, 0xe2, 0x75}};
/* {ECFC60F9-7934-471E-806F-2058C34DCA69} */
const GUID QVR_DISCARD_CALLOUT_7_KEY = {0xecfc60f9, 0x7934, 0x471e, {0x80, 0x6f, 0x20, 0x58, 0xc3, 0x4d, 0xca, 0x69}};
/* {A812E51F-27A6-4480-BE6A-1E2C79127F87} */
const GUID QVR_DISCARD_CALLOUT_8_KEY = {0xa812e51f, 0x27a6, 0x4480, {0xbe, 0x6a, 0x1e, 0x2c, 0x79, 0x12, 0x7f, 0x87}};

const GUID *const ConnectRedirectCalloutKeys[CONNECT_REDIRECT_CALLOUT_COUNT] = {
    &QVR_CONNECT_REDIRECT_CALLOUT_V4_KEY,
    &QVR_CONNECT_REDIRECT_CALLOUT_V6_KEY,
};

const GUID *const RedirectRecordsCalloutKeys[REDIRECT_RECORDS_CALLOUT_COUNT] = {
    &QVR_REDIRECT_RECORDS_CALLOUT_V4_KEY,
    &QVR_REDIRECT_RECORDS_CALLOUT_V6_KEY,
};

const GUID *const BlockQuicCalloutKeys[BLOCK_QUIC_CALLOUT_COUNT] = {
    &QVR_BLOCK_QUIC_CALLOUT_V4_KEY,
    &QVR_BLOCK_QUIC_CALLOUT_V6_KEY,
};

const GUID *const DiscardCalloutKeys[DISCARD_CALLOUT_COUNT] = {
    &QVR_DISCARD_CALLOUT_1_KEY, &QVR_DISCARD_CALLOUT_2_KEY, &QVR_DISCARD_CALLOUT_3_KEY, &QVR_DISCARD_CALLOUT_4_KEY,
    &QVR_DISCARD_CALLOUT_5_KEY, &QVR_DISCARD_CALLOUT_6_KEY, &QVR_DISCARD_CALLOUT_7_KEY, &QVR_DISCARD_CALLOUT_8_KEY,
};

PCALLOUT_REGISTRATION ConnectRedirectRegistrations[CONNECT_REDIRECT_CALLOUT_COUNT];
PCALLOUT_REGISTRATION RedirectRecordsRegistrations[REDIRECT_RECORDS_CALLOUT_COUNT];
PCALLOUT_REGISTRATION BlockQuicRegistrations[BLOCK_QUIC_CALLOUT_COUNT];
PCALLOUT_REGISTRATION DiscardRegistrations[DISCARD_CALLOUT_COUNT];

/*
 * One WFP_CALLOUT_GROUP_ROW (name, key table, classifyFn, notifyFn, flowDeleteFn or null,
 * registration slots) per group whose callout functions are part of the driver, in this
 * order: connect redirect, redirect records, QUIC blocking, discard diagnostics.
 */
const WFP_CALLOUT_GROUP WfpCalloutGroups[] = {
    WFP_CALLOUT_GROUP_ROW("connect redirect", ConnectRedirectCalloutKeys, AleConnectRedirectClassifyFn,
                          ConnectRedirectNotifyFn, nullptr, ConnectRedirectRegistrations),
    WFP_CALLOUT_GROUP_ROW("redirect records", RedirectRecordsCalloutKeys, AleAuthConnectClassifyFnRedirectRecords,
                          RedirectRecordsNotifyFn, RedirectRecordsFlowDeleteFn, RedirectRecordsRegistrations),
    WFP_CALLOUT_GROUP_ROW("QUIC blocking", BlockQuicCalloutKeys, AleAuthConnectClassifyFnBlockQUIC, BlockQuicNotifyFn,
                          nullptr, BlockQuicRegistrations),
    WFP_CALLOUT_GROUP_ROW("discard diagnostics", DiscardCalloutKeys, DiscardClassifyFn, DiscardNotifyFn, nullptr,
                          DiscardRegistrations),
    {nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PFLOW_CONTEXT_DRAIN_STEP WfpFlowContextDrainStep = RemoveAuthFlowContextForDrain;
