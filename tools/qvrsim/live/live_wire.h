/*
 * live_wire.h
 *
 * What the preload library and qvrsim live say to each other over the Unix socket named by
 * QVRSIM_LIVE_SOCKET: one question per intercepted call, one answer, on a connection of its
 * own. Plain C so that the preload library needs no C++ run time.
 */
#ifndef QVRSIM_LIVE_WIRE_H
#define QVRSIM_LIVE_WIRE_H

#include <stdint.h>

#define QVR_LIVE_MAGIC 0x4556494Cu /* "LIVE" */
#define QVR_LIVE_SOCKET_ENV "QVRSIM_LIVE_SOCKET"

enum qvr_live_call { QVR_LIVE_TCP_CONNECT = 1, QVR_LIVE_UDP_CONNECT = 2, QVR_LIVE_UDP_SEND = 3 };
enum qvr_live_action { QVR_LIVE_DIRECT = 0, QVR_LIVE_REDIRECT = 1, QVR_LIVE_FAIL = 2 };

struct qvr_live_question {
    uint32_t magic;
    uint32_t call;          /* enum qvr_live_call */
    int32_t pid;
    int32_t ppid;
    uint16_t family;        /* AF_INET or AF_INET6 */
    uint16_t remote_port;   /* host order */
    uint8_t remote[16];     /* network order; IPv4 in the first four bytes */
    uint16_t local_port;    /* host order; 0 when the socket is not bound */
    uint8_t local[16];
    char exe[4096];         /* the real executable's path, NUL-terminated */
};

struct qvr_live_answer {
    uint32_t magic;
    uint32_t action;        /* enum qvr_live_action */
    int32_t error;          /* QVR_LIVE_FAIL: the errno the call fails with */
    uint16_t port;          /* QVR_LIVE_REDIRECT: where to connect instead (host order) */
    uint8_t address[16];    /* in the question's family */
    char message[256];      /* QVR_LIVE_FAIL: why, for the program's standard error */
};

#endif
