/*
 * ndis.h (winsim)
 *
 * Only what a WFP callout driver that never touches packet data needs from NDIS: the
 * net buffer list is an opaque type here. A callout driver includes this header before
 * fwpsk.h, as on Windows.
 */
#pragma once

#include <ntdef.h>

#ifndef NDIS61
#define NDIS61 1
#endif

typedef struct _NET_BUFFER_LIST NET_BUFFER_LIST, *PNET_BUFFER_LIST;
typedef struct _NET_BUFFER NET_BUFFER, *PNET_BUFFER;
typedef PVOID NDIS_HANDLE, *PNDIS_HANDLE;
