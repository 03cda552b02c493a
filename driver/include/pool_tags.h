/*
 * pool_tags.h
 *
 * The driver's pool tags. Pool tools show a tag as its four bytes in memory order, so a
 * tag is built from its characters in that order rather than written as a multi-character
 * literal (whose first character lands in the highest byte).
 */
#pragma once

#define QVR_POOL_TAG(a, b, c, d) ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))

// Process policy: rule store and process table.
#define QVR_TAG_POLICY   QVR_POOL_TAG('Q', 'V', 'P', 'M')
// Callback channel.
#define QVR_TAG_CALLBACK QVR_POOL_TAG('Q', 'V', 'C', 'B')
// The WFP side.
#define QVR_TAG_WFP      QVR_POOL_TAG('-', 'Q', 'V', 'R')

C_ASSERT(QVR_TAG_POLICY == 0x4D505651);
