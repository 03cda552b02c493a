// loopback_connect.cpp: the loopback TCP connect yardstick (loopback_connect.h).
#include "bench/loopback_connect.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qvrbench {

void LoopbackConnect(benchmark::State &state)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        ::listen(listener, 64) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        state.SkipWithError("no loopback listener");
        if (listener >= 0) {
            ::close(listener);
        }
        return;
    }
    for (auto _ : state) {
        const int client = ::socket(AF_INET, SOCK_STREAM, 0);
        if (client < 0 || ::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
            if (client >= 0) {
                ::close(client);
            }
            state.SkipWithError("loopback connect failed");
            break;
        }
        const int accepted = ::accept(listener, nullptr, nullptr);
        if (accepted >= 0) {
            ::close(accepted);
        }
        ::close(client);
    }
    ::close(listener);
}

}  // namespace qvrbench
