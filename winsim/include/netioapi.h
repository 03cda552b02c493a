/*
 * netioapi.h (winsim)
 *
 * The part of the IP helper types that the filtering platform's metadata uses.
 */
#pragma once

#include <ws2ipdef.h>

typedef struct _IP_ADDRESS_PREFIX {
    SOCKADDR_INET Prefix;  /* the prefix address */
    UINT8 PrefixLength;    /* its length in bits */
} IP_ADDRESS_PREFIX, *PIP_ADDRESS_PREFIX;
