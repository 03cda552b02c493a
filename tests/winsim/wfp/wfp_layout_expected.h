/*
 * wfp_layout_expected.h
 *
 * The field offsets and sizes of the WFP structures a callout driver shares with the
 * platform, for both pointer sizes: x86 and x64 as the WDK's compiler lays them out (8-byte
 * members 8-byte aligned on both; FWP_VALUE0 holds 64-bit values by pointer, so it is 8
 * bytes on x86), computed by hand from the documented field orders. The
 * host's layout test checks the column of its pointer size; the i686 driver build checks
 * the x86 column at compile time against mingw-w64's genuine base types.
 *
 * QVR_WFP_OFFSETS(X): X(structure, field, x86 offset, x64 offset)
 * QVR_WFP_SIZES(X):   X(structure, x86 size, x64 size)
 */
#pragma once

#define QVR_WFP_OFFSETS(X)                                             \
    X(FWPS_CLASSIFY_OUT0, outContext, 8, 8)                            \
    X(FWPS_CLASSIFY_OUT0, filterId, 16, 16)                            \
    X(FWPS_CLASSIFY_OUT0, rights, 24, 24)                              \
    X(FWPS_CLASSIFY_OUT0, flags, 28, 28)                               \
    X(FWPS_FILTER1, subLayerWeight, 16, 24)                            \
    X(FWPS_FILTER1, filterCondition, 24, 32)                           \
    X(FWPS_FILTER1, action, 28, 40)                                    \
    X(FWPS_FILTER1, context, 40, 48)                                   \
    X(FWPS_FILTER1, providerContext, 48, 56)                           \
    X(FWPS_CALLOUT1, classifyFn, 20, 24)                               \
    X(FWPS_CALLOUT1, notifyFn, 24, 32)                                 \
    X(FWPS_CALLOUT1, flowDeleteFn, 28, 40)                             \
    X(FWPS_INCOMING_VALUES0, incomingValue, 8, 8)                      \
    X(FWPS_CONNECT_REQUEST0, remoteAddressAndPort, 128, 128)           \
    X(FWPS_CONNECT_REQUEST0, portReservationToken, 256, 256)           \
    X(FWPS_CONNECT_REQUEST0, localRedirectTargetPID, 264, 264)         \
    X(FWPS_CONNECT_REQUEST0, previousVersion, 268, 272)                \
    X(FWPS_CONNECT_REQUEST0, modifierFilterId, 272, 280)               \
    X(FWPS_CONNECT_REQUEST0, localRedirectHandle, 280, 288)            \
    X(FWPS_CONNECT_REQUEST0, localRedirectContext, 284, 296)           \
    X(FWPS_CONNECT_REQUEST0, localRedirectContextSize, 288, 304)

#define QVR_WFP_SIZES(X)                 \
    X(FWPS_CLASSIFY_OUT0, 40, 40)        \
    X(FWPS_FILTER1, 56, 64)              \
    X(FWPS_CALLOUT1, 32, 48)             \
    X(FWPS_INCOMING_VALUES0, 12, 16)     \
    X(FWP_VALUE0, 8, 16)                 \
    X(FWPS_CONNECT_REQUEST0, 296, 312)
