/*
 * in6addr.h (winsim)
 *
 * The IPv6 address as Windows lays it out (16 bytes, network order).
 */
#pragma once

#include <ntdef.h>

typedef struct in6_addr {
    union {
        UCHAR Byte[16];  /* the address bytes */
        USHORT Word[8];  /* the same as eight 16-bit words */
    } u;
} IN6_ADDR, *PIN6_ADDR, *LPIN6_ADDR;

#define in_addr6 in6_addr
#define _S6_un u
#define _S6_u8 Byte
#define s6_addr _S6_un._S6_u8
#define s6_bytes u.Byte
#define s6_words u.Word
