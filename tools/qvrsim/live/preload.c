/*
 * preload.c
 *
 * libqvrlive-preload.so: loaded into a program by qvrsim live (LD_PRELOAD). Its connect()
 * of TCP and UDP sockets and its UDP sendto()/sendmsg() with a destination, for IPv4 and
 * IPv6, are first asked of qvrsim, which classifies them with the driver in winsim; the
 * call waits for the answer (a pended classify holds it), then connects where it asked, to
 * where the driver redirected it, or fails with the answer's errno. Every other call goes
 * through untouched. When qvrsim cannot be reached the call fails with ECONNABORTED: the
 * program never waits for a qvrsim that has ended.
 */
#define _GNU_SOURCE
#include "live_wire.h"

#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

typedef int (*connect_fn)(int, const struct sockaddr *, socklen_t);
typedef ssize_t (*sendto_fn)(int, const void *, size_t, int, const struct sockaddr *, socklen_t);
typedef ssize_t (*sendmsg_fn)(int, const struct msghdr *, int);

static connect_fn real_connect;
static sendto_fn real_sendto;
static sendmsg_fn real_sendmsg;
static pthread_once_t once = PTHREAD_ONCE_INIT;

/* The longest a question may wait: longer than any wait of the driver's (10 s for a port
 * query) with room for a held connection's verdict. */
#define ANSWER_WAIT_S 40

static void resolve(void)
{
    real_connect = (connect_fn)dlsym(RTLD_NEXT, "connect");
    real_sendto = (sendto_fn)dlsym(RTLD_NEXT, "sendto");
    real_sendmsg = (sendmsg_fn)dlsym(RTLD_NEXT, "sendmsg");
}

static int socket_type(int fd)
{
    int type = 0;
    socklen_t length = sizeof(type);
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) {
        return -1;
    }
    return type;
}

static void put_address(const struct sockaddr *addr, uint8_t *bytes, uint16_t *port)
{
    if (addr->sa_family == AF_INET) {
        const struct sockaddr_in *in = (const struct sockaddr_in *)addr;
        memcpy(bytes, &in->sin_addr, 4);
        *port = ntohs(in->sin_port);
    } else {
        const struct sockaddr_in6 *in6 = (const struct sockaddr_in6 *)addr;
        memcpy(bytes, &in6->sin6_addr, 16);
        *port = ntohs(in6->sin6_port);
    }
}

static int is_loopback(const struct sockaddr *addr)
{
    if (addr->sa_family == AF_INET) {
        return (ntohl(((const struct sockaddr_in *)addr)->sin_addr.s_addr) >> 24) == 127;
    }
    return IN6_IS_ADDR_LOOPBACK(&((const struct sockaddr_in6 *)addr)->sin6_addr);
}

/* A TCP socket that is not bound gets its local end now, so that qvrsim knows the port the
 * connection will come from (the proxy tells its connections apart by it). */
static void bind_if_unbound(int fd, const struct sockaddr *to)
{
    struct sockaddr_storage local;
    socklen_t length = sizeof(local);
    if (getsockname(fd, (struct sockaddr *)&local, &length) != 0) {
        return;
    }
    if (local.ss_family == AF_INET && ((struct sockaddr_in *)&local)->sin_port != 0) {
        return;
    }
    if (local.ss_family == AF_INET6 && ((struct sockaddr_in6 *)&local)->sin6_port != 0) {
        return;
    }
    struct sockaddr_storage want;
    memset(&want, 0, sizeof(want));
    want.ss_family = to->sa_family;
    if (to->sa_family == AF_INET) {
        ((struct sockaddr_in *)&want)->sin_addr.s_addr = is_loopback(to) ? htonl(INADDR_LOOPBACK) : htonl(INADDR_ANY);
        bind(fd, (struct sockaddr *)&want, sizeof(struct sockaddr_in));
    } else {
        ((struct sockaddr_in6 *)&want)->sin6_addr = is_loopback(to) ? in6addr_loopback : in6addr_any;
        bind(fd, (struct sockaddr *)&want, sizeof(struct sockaddr_in6));
    }
}

/* Asks qvrsim; 0 with the answer, -1 (errno set) when it cannot be asked. */
static int ask(int fd, uint32_t call, const struct sockaddr *to, struct qvr_live_answer *answer)
{
    const char *path = getenv(QVR_LIVE_SOCKET_ENV);
    struct qvr_live_question question;
    memset(&question, 0, sizeof(question));
    question.magic = QVR_LIVE_MAGIC;
    question.call = call;
    question.pid = getpid();
    question.ppid = getppid();
    question.family = to->sa_family;
    put_address(to, question.remote, &question.remote_port);
    struct sockaddr_storage local;
    socklen_t length = sizeof(local);
    if (getsockname(fd, (struct sockaddr *)&local, &length) == 0 && local.ss_family == to->sa_family) {
        put_address((struct sockaddr *)&local, question.local, &question.local_port);
    }
    ssize_t exe = readlink("/proc/self/exe", question.exe, sizeof(question.exe) - 1);
    question.exe[exe > 0 ? exe : 0] = '\0';

    int channel = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (channel < 0) {
        return -1;
    }
    struct sockaddr_un server;
    memset(&server, 0, sizeof(server));
    server.sun_family = AF_UNIX;
    strncpy(server.sun_path, path, sizeof(server.sun_path) - 1);
    struct timeval wait = {ANSWER_WAIT_S, 0};
    setsockopt(channel, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    int saved = 0;
    if (real_connect(channel, (struct sockaddr *)&server, sizeof(server)) != 0 ||
        write(channel, &question, sizeof(question)) != (ssize_t)sizeof(question)) {
        saved = errno;
        close(channel);
        errno = saved;
        return -1;
    }
    size_t got = 0;
    while (got < sizeof(*answer)) {
        ssize_t n = read(channel, (char *)answer + got, sizeof(*answer) - got);
        if (n <= 0) {
            close(channel);
            errno = n == 0 ? ECONNABORTED : errno;
            return -1;
        }
        got += (size_t)n;
    }
    close(channel);
    if (answer->magic != QVR_LIVE_MAGIC) {
        errno = EPROTO;
        return -1;
    }
    return 0;
}

/* The answer applied: 1 go on to `to` (maybe rewritten into *instead), 0 fail (errno set). */
static int decide(int fd, uint32_t call, const struct sockaddr *to, struct sockaddr_storage *instead)
{
    struct qvr_live_answer answer;
    int saved = errno;
    if (ask(fd, call, to, &answer) != 0) {
        fprintf(stderr, "qvrlive: qvrsim cannot be asked (%s): the call fails\n", strerror(errno));
        errno = ECONNABORTED;
        return 0;
    }
    if (answer.action == QVR_LIVE_FAIL) {
        answer.message[sizeof(answer.message) - 1] = '\0';
        if (answer.message[0] != '\0') {
            fprintf(stderr, "qvrlive: %s\n", answer.message);
        }
        errno = answer.error;
        return 0;
    }
    errno = saved;
    if (answer.action == QVR_LIVE_REDIRECT) {
        memset(instead, 0, sizeof(*instead));
        if (to->sa_family == AF_INET) {
            struct sockaddr_in *in = (struct sockaddr_in *)instead;
            in->sin_family = AF_INET;
            memcpy(&in->sin_addr, answer.address, 4);
            in->sin_port = htons(answer.port);
        } else {
            struct sockaddr_in6 *in6 = (struct sockaddr_in6 *)instead;
            in6->sin6_family = AF_INET6;
            memcpy(&in6->sin6_addr, answer.address, 16);
            in6->sin6_port = htons(answer.port);
        }
    }
    return 1;
}

static int intercepted(const struct sockaddr *to, socklen_t length)
{
    if (to == NULL || getenv(QVR_LIVE_SOCKET_ENV) == NULL) {
        return 0;
    }
    return (to->sa_family == AF_INET && length >= sizeof(struct sockaddr_in)) ||
           (to->sa_family == AF_INET6 && length >= sizeof(struct sockaddr_in6));
}

int connect(int fd, const struct sockaddr *to, socklen_t length)
{
    pthread_once(&once, resolve);
    int type = intercepted(to, length) ? socket_type(fd) : -1;
    if (type != SOCK_STREAM && type != SOCK_DGRAM) {
        return real_connect(fd, to, length);
    }
    if (type == SOCK_STREAM) {
        bind_if_unbound(fd, to);
    }
    struct sockaddr_storage instead;
    instead.ss_family = AF_UNSPEC;
    if (!decide(fd, type == SOCK_STREAM ? QVR_LIVE_TCP_CONNECT : QVR_LIVE_UDP_CONNECT, to, &instead)) {
        return -1;
    }
    if (instead.ss_family != AF_UNSPEC) {
        return real_connect(fd, (struct sockaddr *)&instead, length);
    }
    return real_connect(fd, to, length);
}

ssize_t sendto(int fd, const void *data, size_t size, int flags, const struct sockaddr *to, socklen_t length)
{
    pthread_once(&once, resolve);
    struct sockaddr_storage instead;
    if (intercepted(to, length) && socket_type(fd) == SOCK_DGRAM && !decide(fd, QVR_LIVE_UDP_SEND, to, &instead)) {
        return -1;
    }
    return real_sendto(fd, data, size, flags, to, length);
}

ssize_t sendmsg(int fd, const struct msghdr *message, int flags)
{
    pthread_once(&once, resolve);
    struct sockaddr_storage instead;
    if (message != NULL && intercepted((const struct sockaddr *)message->msg_name, message->msg_namelen) &&
        socket_type(fd) == SOCK_DGRAM &&
        !decide(fd, QVR_LIVE_UDP_SEND, (const struct sockaddr *)message->msg_name, &instead)) {
        return -1;
    }
    return real_sendmsg(fd, message, flags);
}
