/*
 * ws2def.h (winsim)
 *
 * Socket definitions shared by user and kernel mode: address families, protocol numbers,
 * the generic socket address and its storage form, the scope id and the control-data
 * header, with Windows' layouts.
 */
#pragma once

#include <ntdef.h>
#include <inaddr.h>

typedef USHORT ADDRESS_FAMILY;

#define AF_UNSPEC 0
#define AF_INET 2
#define AF_INET6 23

typedef enum {
    IPPROTO_HOPOPTS = 0,
    IPPROTO_ICMP = 1,
    IPPROTO_IGMP = 2,
    IPPROTO_GGP = 3,
    IPPROTO_IPV4 = 4,
    IPPROTO_ST = 5,
    IPPROTO_TCP = 6,
    IPPROTO_CBT = 7,
    IPPROTO_EGP = 8,
    IPPROTO_IGP = 9,
    IPPROTO_PUP = 12,
    IPPROTO_UDP = 17,
    IPPROTO_IDP = 22,
    IPPROTO_RDP = 27,
    IPPROTO_IPV6 = 41,
    IPPROTO_ROUTING = 43,
    IPPROTO_FRAGMENT = 44,
    IPPROTO_ESP = 50,
    IPPROTO_AH = 51,
    IPPROTO_ICMPV6 = 58,
    IPPROTO_NONE = 59,
    IPPROTO_DSTOPTS = 60,
    IPPROTO_ND = 77,
    IPPROTO_ICLFXBM = 78,
    IPPROTO_PIM = 103,
    IPPROTO_PGM = 113,
    IPPROTO_L2TP = 115,
    IPPROTO_SCTP = 132,
    IPPROTO_RAW = 255,
    IPPROTO_MAX = 256
} IPPROTO, *PIPROTO;

typedef struct sockaddr {
    ADDRESS_FAMILY sa_family;  /* AF_* */
    CHAR sa_data[14];          /* family-specific address */
} SOCKADDR, *PSOCKADDR, *LPSOCKADDR;

#define SS_PAD1SIZE (8 - sizeof(USHORT))
#define SS_PAD2SIZE (128 - (sizeof(USHORT) + SS_PAD1SIZE + 8))

/* Room for any socket address: 128 bytes, 8-byte aligned. */
typedef struct sockaddr_storage {
    ADDRESS_FAMILY ss_family;    /* AF_* */
    CHAR __ss_pad1[SS_PAD1SIZE]; /* up to the 8-byte boundary */
    LONGLONG __ss_align;         /* forces alignment */
    CHAR __ss_pad2[SS_PAD2SIZE]; /* the rest of the 128 bytes */
} SOCKADDR_STORAGE, *PSOCKADDR_STORAGE, *LPSOCKADDR_STORAGE;

static_assert(sizeof(SOCKADDR_STORAGE) == 128, "SOCKADDR_STORAGE is 128 bytes");

typedef enum {
    ScopeLevelInterface = 1,
    ScopeLevelLink = 2,
    ScopeLevelSubnet = 3,
    ScopeLevelAdmin = 4,
    ScopeLevelSite = 5,
    ScopeLevelOrganization = 8,
    ScopeLevelGlobal = 14,
    ScopeLevelCount = 16
} SCOPE_LEVEL;

typedef struct {
    union {
        struct {
            ULONG Zone : 28;  /* zone index */
            ULONG Level : 4;  /* SCOPE_LEVEL */
        };
        ULONG Value;  /* both as one value */
    };
} SCOPE_ID, *PSCOPE_ID;

#define SCOPEID_UNSPECIFIED_INIT {{{0, 0}}}

typedef struct _WSACMSGHDR {
    SIZE_T cmsg_len;  /* bytes including this header */
    INT cmsg_level;   /* originating protocol */
    INT cmsg_type;    /* protocol-specific type */
} WSACMSGHDR, *PWSACMSGHDR, *LPWSACMSGHDR;

typedef struct sockaddr_in {
    ADDRESS_FAMILY sin_family;  /* AF_INET */
    USHORT sin_port;            /* network order */
    IN_ADDR sin_addr;           /* network order */
    CHAR sin_zero[8];           /* zero */
} SOCKADDR_IN, *PSOCKADDR_IN;

#define INADDR_ANY (ULONG)0x00000000
#define INADDR_LOOPBACK 0x7f000001
