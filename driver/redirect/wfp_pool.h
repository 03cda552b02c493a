/*
 * wfp_pool.h
 *
 * The pool tag of every allocation on the driver's WFP side: "-QVR" in memory order.
 */
#pragma once

#include <ntddk.h>

#define QVR_WFP_POOL_TAG ((ULONG)'-' | ((ULONG)'Q' << 8) | ((ULONG)'V' << 16) | ((ULONG)'R' << 24))
