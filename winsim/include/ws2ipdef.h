/*
 * ws2ipdef.h (winsim)
 *
 * IP socket addresses with Windows' layouts: SOCKADDR_IN6 and the SOCKADDR_INET union.
 */
#pragma once

#include <ntdef.h>
#include <ws2def.h>
#include <in6addr.h>

typedef struct sockaddr_in6 {
    ADDRESS_FAMILY sin6_family;  /* AF_INET6 */
    USHORT sin6_port;            /* network order */
    ULONG sin6_flowinfo;         /* IPv6 flow information */
    IN6_ADDR sin6_addr;          /* network order */
    union {
        ULONG sin6_scope_id;          /* scope zone index */
        SCOPE_ID sin6_scope_struct;   /* the same as a SCOPE_ID */
    };
} SOCKADDR_IN6_LH, *PSOCKADDR_IN6_LH;

typedef SOCKADDR_IN6_LH SOCKADDR_IN6;
typedef SOCKADDR_IN6_LH *PSOCKADDR_IN6;

typedef union _SOCKADDR_INET {
    SOCKADDR_IN Ipv4;           /* when si_family is AF_INET */
    SOCKADDR_IN6 Ipv6;          /* when si_family is AF_INET6 */
    ADDRESS_FAMILY si_family;   /* AF_INET or AF_INET6 */
} SOCKADDR_INET, *PSOCKADDR_INET;

static_assert(sizeof(SOCKADDR_IN) == 16, "SOCKADDR_IN is 16 bytes");
static_assert(sizeof(SOCKADDR_IN6) == 28, "SOCKADDR_IN6 is 28 bytes");
