/*
 * inaddr.h (winsim)
 *
 * The IPv4 address as Windows lays it out (network byte order in memory).
 */
#pragma once

#include <ntdef.h>

#ifndef s_addr
typedef struct in_addr {
    union {
        struct {
            UCHAR s_b1, s_b2, s_b3, s_b4;  /* the four octets, first octet first */
        } S_un_b;
        struct {
            USHORT s_w1, s_w2;  /* the two 16-bit halves */
        } S_un_w;
        ULONG S_addr;  /* the whole address, network order */
    } S_un;
#define s_addr S_un.S_addr
#define s_host S_un.S_un_b.s_b2
#define s_net S_un.S_un_b.s_b1
#define s_imp S_un.S_un_w.s_w2
#define s_impno S_un.S_un_b.s_b4
#define s_lh S_un.S_un_b.s_b3
} IN_ADDR, *PIN_ADDR, *LPIN_ADDR;
#endif
