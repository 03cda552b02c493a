// What qvrsim live adds to a real connection: a client connects to a loopback server and
// reads 1 MiB, once through qvrsim live (its connect() asks qvrsim, the driver redirects it in
// winsim, it connects to the live proxy, which reads the context record and relays from the
// server) and once directly, in turn in the same run (counters measured_ns, baseline_ns,
// ratio: per connection, set-up and transfer). The client is this program in its client
// mode; it times its own connections, so qvrsim's start-up and the driver's load are left out.
#include <benchmark/benchmark.h>

#include "bench/bench_ratios.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBytes = 1 << 20;
constexpr int kConnectionsPerRun = 10;
const char kServerAddress[] = "127.0.0.2";

// Client mode: COUNT connections to HOST:PORT, each read to its end; prints the mean time of
// one (connect and read) in nanoseconds, or fails when one delivers fewer than BYTES.
int Client(const char *host, int port, std::size_t bytes, int count)
{
    std::vector<char> buffer(65536);
    double totalNs = 0;
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, host, &address.sin_addr);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
            std::perror("live_transfer_bench client: connect");
            return 1;
        }
        std::size_t got = 0;
        for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) > 0;) {
            got += static_cast<std::size_t>(n);
        }
        close(fd);
        totalNs += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        if (got != bytes) {
            std::fprintf(stderr, "live_transfer_bench client: %zu of %zu bytes\n", got, bytes);
            return 1;
        }
    }
    std::printf("live_transfer_ns %.0f\n", totalNs / count);
    return 0;
}

// The loopback server: each connection gets kBytes, then the end.
class Server {
public:
    bool Start()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, kServerAddress, &address.sin_addr);
        socklen_t length = sizeof(address);
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
            listen(listener_, 64) != 0 || getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            return false;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
        return true;
    }
    ~Server()
    {
        if (listener_ >= 0) {
            shutdown(listener_, SHUT_RDWR);
            close(listener_);
        }
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    int Port() const { return port_; }

private:
    void Serve()
    {
        const std::vector<char> page(kBytes, 'q');
        for (;;) {
            const int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0) {
                return;
            }
            std::size_t sent = 0;
            while (sent < page.size()) {
                const ssize_t n = write(fd, page.data() + sent, page.size() - sent);
                if (n <= 0) {
                    break;
                }
                sent += static_cast<std::size_t>(n);
            }
            close(fd);
        }
    }
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

std::string self;
Server *server = nullptr;

// Runs the command and returns the client's mean time per connection; 0 when it failed.
double RunClient(const std::string &command)
{
    FILE *out = popen(command.c_str(), "r");
    if (out == nullptr) {
        return 0;
    }
    double ns = 0;
    char line[4096];
    while (std::fgets(line, sizeof(line), out) != nullptr) {
        std::sscanf(line, "live_transfer_ns %lf", &ns);
    }
    return pclose(out) == 0 ? ns : 0;
}

void LiveAgainstDirect(benchmark::State &state)
{
    const std::string client = self + " --client " + kServerAddress + " " + std::to_string(server->Port()) + " " +
                               std::to_string(kBytes) + " " + std::to_string(kConnectionsPerRun);
    const std::string live =
        std::string("'" QVR_QVRSIM "' live '" QVR_LIVE_BENCH_SCENARIO "' -- ") + client + " 2>/dev/null";
    double measured = 0;
    double baseline = 0;
    int runs = 0;
    for (auto _ : state) {
        // Which goes first alternates, so neither always finds the caches warm.
        const bool liveFirst = runs % 2 == 0;
        const double first = RunClient(liveFirst ? live : client);
        const double second = RunClient(liveFirst ? client : live);
        const double liveNs = liveFirst ? first : second;
        const double directNs = liveFirst ? second : first;
        if (liveNs == 0 || directNs == 0) {
            state.SkipWithError("a client run failed (is 127.0.0.2 a loopback address here?)");
            return;
        }
        measured += liveNs;
        baseline += directNs;
        ++runs;
    }
    state.counters["measured_ns"] = measured / runs;
    state.counters["baseline_ns"] = baseline / runs;
    state.counters["ratio"] = measured / baseline;
}

std::string BaselineOf(const std::string &) { return ""; }

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 6 && std::string(argv[1]) == "--client") {
        return Client(argv[2], std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10), std::atoi(argv[5]));
    }
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) {
        return 1;
    }
    self.assign(path, static_cast<std::size_t>(n));
    // Built with AddressSanitizer, the client must accept qvrsim live's preload library
    // loading ahead of the sanitizer's runtime; for qvrsim and the direct client it changes nothing.
    const char *asan = std::getenv("ASAN_OPTIONS");
    const std::string options = (asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : std::string()) +
                                "verify_asan_link_order=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    Server s;
    if (!s.Start()) {
        std::fprintf(stderr, "live_transfer_bench: cannot listen on %s\n", kServerAddress);
        return 1;
    }
    server = &s;
    benchmark::RegisterBenchmark("Live/redirected_1MiB", LiveAgainstDirect)->Iterations(3)->Unit(benchmark::kMillisecond);
    return qvrbench::RunWithRatios(argc, argv, BaselineOf);
}
