/*
 * mstcpip.h (winsim)
 *
 * The socket I/O controls through which a local proxy reads and sets the WFP redirect
 * records and redirect context of its connections.
 */
#pragma once

#include <ntdef.h>

#define IOC_VOID 0x20000000
#define IOC_OUT 0x40000000
#define IOC_IN 0x80000000
#define IOC_INOUT (IOC_IN | IOC_OUT)
#define IOC_VENDOR 0x18000000
#define _WSAIO(x, y) (IOC_VOID | (x) | (y))
#define _WSAIOR(x, y) (IOC_OUT | (x) | (y))
#define _WSAIOW(x, y) (IOC_IN | (x) | (y))
#define _WSAIORW(x, y) (IOC_INOUT | (x) | (y))

#define SIO_QUERY_WFP_CONNECTION_REDIRECT_RECORDS _WSAIOW(IOC_VENDOR, 220)
#define SIO_QUERY_WFP_CONNECTION_REDIRECT_CONTEXT _WSAIOW(IOC_VENDOR, 221)
#define SIO_SET_WFP_CONNECTION_REDIRECT_RECORDS _WSAIOW(IOC_VENDOR, 222)

static_assert(SIO_QUERY_WFP_CONNECTION_REDIRECT_RECORDS == 0x980000DCu, "documented value");
static_assert(SIO_QUERY_WFP_CONNECTION_REDIRECT_CONTEXT == 0x980000DDu, "documented value");
static_assert(SIO_SET_WFP_CONNECTION_REDIRECT_RECORDS == 0x980000DEu, "documented value");
