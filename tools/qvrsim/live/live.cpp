/*
 * live.cpp
 *
 * qvrsim live: the Unix-socket server the preload library asks, the classify of each
 * intercepted call in winsim, the Boost.Asio proxy on real loopback and the program's run.
 */
#include "live.h"

#include "live_wire.h"
#include "player.h"

#include <winsim/processes.h>

#include <boost/asio.hpp>

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

extern char **environ;

namespace qvr::sim {

namespace asio = boost::asio;
using asio::ip::tcp;
using winsim::network::Address;
using winsim::network::Endpoint;
using winsim::network::Outcome;

namespace {

// The longest a classify may keep a call: the driver's own waits end sooner (a port query
// gives up after 10 s), so a connection still pending then fails with ETIMEDOUT.
constexpr auto kClassifyWait = std::chrono::seconds(30);

std::string OutcomeWord(Outcome outcome)
{
    std::string word = winsim::network::OutcomeName(outcome);
    for (char &c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return word;
}

Address FromBytes(std::uint16_t family, const std::uint8_t *bytes)
{
    Address address;
    address.family = family == AF_INET6 ? 23 : 2;
    std::memcpy(address.bytes.data(), bytes, family == AF_INET6 ? 16 : 4);
    return address;
}

asio::ip::address ToAsio(const Address &address)
{
    if (address.family == 23) {
        asio::ip::address_v6::bytes_type bytes;
        std::memcpy(bytes.data(), address.bytes.data(), 16);
        return asio::ip::address_v6(bytes);
    }
    asio::ip::address_v4::bytes_type bytes;
    std::memcpy(bytes.data(), address.bytes.data(), 4);
    return asio::ip::address_v4(bytes);
}

// A redirected connection, from its classify to the end of its relay.
struct Bridged {
    int pid = 0;
    std::string exe;
    std::u16string image;
    Endpoint requested;                  // the real destination
    Endpoint standIn;                    // what the driver saw
    std::uint16_t localPort = 0;
    winsim::network::Connection connection;
    std::optional<agent::ProxiedConnection> accepted;
    std::chrono::steady_clock::time_point started;
};

class LiveSession {
public:
    LiveSession(Player &player, Report &report, Output &output, const LiveOptions &options)
        : player_(player), report_(report), output_(output), options_(options)
    {
    }

    int Run(const std::string &resolved);

private:
    bool StartProxy(std::string *problem);
    bool StartServer(std::string *problem);
    void Serve();
    void FollowExits();
    void EndProcesses(bool all);
    void Answer(int channel);
    qvr_live_answer Classify(const qvr_live_question &question);
    std::uint64_t WinsimProcess(const qvr_live_question &question, const std::string &exe);
    void AcceptLoop(tcp::acceptor &acceptor);
    void Relay(std::shared_ptr<tcp::socket> client);
    void Emit(ConnectionReport report);
    void Line(const std::string &text);

    Player &player_;
    Report &report_;
    Output &output_;
    const LiveOptions &options_;

    asio::io_context io_;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors_;
    std::uint16_t proxyPort_ = 0;        // the real proxy's port
    std::uint16_t winsimProxyPort_ = 0;  // the port the driver redirects to

    std::string directory_;
    std::string socketPath_;
    int server_ = -1;
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> threads_;
    std::mutex threadsLock_;

    std::mutex lock_;                    // everything below, and the output
    std::map<int, std::uint64_t> processes_;  // real pid -> winsim pid
    std::map<std::uint16_t, std::shared_ptr<Bridged>> bridged_;  // by the connection's local port
    std::vector<agent::ProxiedConnection> unclaimed_;
    int calls_ = 0;
};

void LiveSession::Line(const std::string &text)
{
    StepReport step;
    step.number = 0;
    step.directive = "live";
    step.label = text;
    std::lock_guard<std::mutex> guard(lock_);
    output_.Step(step);
}

void LiveSession::Emit(ConnectionReport report)
{
    std::lock_guard<std::mutex> guard(lock_);
    report_.connections.push_back(report);
    output_.Connection(report_.connections.back());
}

bool LiveSession::StartProxy(std::string *problem)
{
    agent::LocalProxy *proxy = player_.RunningProxy();
    if (proxy == nullptr) {
        *problem = "the scenario starts no proxy (a proxy directive): live mode has nowhere to redirect to";
        return false;
    }
    winsimProxyPort_ = proxy->Port();
    // The real proxy listens on an ephemeral port of 127.0.0.1 and, where the machine has
    // it, the same port of ::1; the driver's target port stands for it.
    for (int attempt = 0; attempt < 20 && acceptors_.empty(); ++attempt) {
        boost::system::error_code error;
        auto v4 = std::make_unique<tcp::acceptor>(io_);
        v4->open(tcp::v4(), error);
        if (!error) v4->bind(tcp::endpoint(asio::ip::address_v4::loopback(), 0), error);
        if (!error) v4->listen(asio::socket_base::max_listen_connections, error);
        if (error) {
            *problem = "the proxy cannot listen on 127.0.0.1: " + error.message();
            return false;
        }
        const std::uint16_t port = v4->local_endpoint().port();
        auto v6 = std::make_unique<tcp::acceptor>(io_);
        v6->open(tcp::v6(), error);
        if (!error) v6->set_option(asio::ip::v6_only(true), error);
        if (!error) v6->bind(tcp::endpoint(asio::ip::address_v6::loopback(), port), error);
        if (!error) v6->listen(asio::socket_base::max_listen_connections, error);
        if (error == asio::error::address_in_use) {
            continue;  // that port is taken on ::1: another one
        }
        proxyPort_ = port;
        acceptors_.push_back(std::move(v4));
        if (!error) {
            acceptors_.push_back(std::move(v6));
        }
    }
    if (acceptors_.empty()) {
        *problem = "the proxy finds no port free on both 127.0.0.1 and ::1";
        return false;
    }
    return true;
}

bool LiveSession::StartServer(std::string *problem)
{
    char directory[] = "/tmp/qvrsim-live-XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        *problem = std::string("cannot make the socket's folder: ") + std::strerror(errno);
        return false;
    }
    directory_ = directory;
    socketPath_ = directory_ + "/socket";
    server_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath_.c_str(), sizeof(address.sun_path) - 1);
    if (server_ < 0 || bind(server_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        listen(server_, 64) != 0) {
        *problem = "cannot listen on " + socketPath_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// Whether the real process still runs: a zombie has ended already, though not yet reaped.
bool RealProcessRuns(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) {
        return false;
    }
    const std::size_t close = text.rfind(')');
    const char state = close != std::string::npos && close + 2 < text.size() ? text[close + 2] : '?';
    return state != 'Z' && state != 'X';
}

// A winsim process ends when the real one it stands for does (looked at every 100 ms), so
// that the driver's process table follows the program's processes, not only its start.
void LiveSession::FollowExits()
{
    while (!stopping_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EndProcesses(false);
    }
}

// Ends the winsim processes whose real process has ended (all of them when `all`), each
// with a step that says so.
void LiveSession::EndProcesses(bool all)
{
    std::vector<std::pair<int, std::uint64_t>> ended;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = processes_.begin(); it != processes_.end();) {
            if (!all && RealProcessRuns(it->first)) {
                ++it;
                continue;
            }
            winsim::processes::End(it->second);
            ended.emplace_back(*it);
            it = processes_.erase(it);
        }
    }
    for (const auto &[real, pid] : ended) {
        Line("live: process " + std::to_string(real) + " ended; winsim's process " + std::to_string(pid) +
             " ends with it");
    }
}

void LiveSession::Serve()
{
    while (!stopping_) {
        const int channel = accept4(server_, nullptr, nullptr, SOCK_CLOEXEC);
        if (channel < 0) {
            if (errno == EINTR) continue;
            return;  // the server was shut down
        }
        std::lock_guard<std::mutex> guard(threadsLock_);
        threads_.emplace_back([this, channel] { Answer(channel); });
    }
}

void LiveSession::Answer(int channel)
{
    qvr_live_question question{};
    std::size_t got = 0;
    while (got < sizeof(question)) {
        const ssize_t n = read(channel, reinterpret_cast<char *>(&question) + got, sizeof(question) - got);
        if (n <= 0) {
            close(channel);
            return;
        }
        got += static_cast<std::size_t>(n);
    }
    qvr_live_answer answer{};
    if (question.magic != QVR_LIVE_MAGIC || (question.family != AF_INET && question.family != AF_INET6)) {
        answer.magic = QVR_LIVE_MAGIC;
        answer.action = QVR_LIVE_FAIL;
        answer.error = EPROTO;
    } else {
        question.exe[sizeof(question.exe) - 1] = '\0';
        answer = Classify(question);
    }
    (void)!write(channel, &answer, sizeof(answer));
    close(channel);
}

std::uint64_t LiveSession::WinsimProcess(const qvr_live_question &question, const std::string &exe)
{
    auto found = processes_.find(question.pid);
    if (found != processes_.end()) {
        return found->second;
    }
    auto parent = processes_.find(question.ppid);
    const std::uint64_t pid = winsim::processes::Start(
        LiveImagePath(exe), winsim::processes::Notify::Yes,
        parent != processes_.end() ? parent->second : winsim::processes::kSystemProcessId);
    processes_[question.pid] = pid;
    return pid;
}

qvr_live_answer LiveSession::Classify(const qvr_live_question &question)
{
    qvr_live_answer answer{};
    answer.magic = QVR_LIVE_MAGIC;
    const bool udp = question.call != QVR_LIVE_TCP_CONNECT;
    const Endpoint requested{FromBytes(question.family, question.remote), question.remote_port};
    const std::string exe = question.exe;
    auto fail = [&](int error, const std::string &message) {
        answer.action = QVR_LIVE_FAIL;
        answer.error = error;
        std::snprintf(answer.message, sizeof(answer.message), "%s", message.c_str());
    };

    ConnectionReport report;
    std::uint64_t pid = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        report.name = "call" + std::to_string(++calls_);
        pid = WinsimProcess(question, exe);
    }
    report.label = std::string(udp ? (question.call == QVR_LIVE_UDP_SEND ? "UDP send" : "UDP connect") : "connect") +
                   " by " + exe + " (pid " + std::to_string(question.pid) + ") to " + requested.ToString();
    Json &d = report.details;
    d["process"] = exe;
    d["pid"] = pid;
    d["protocol"] = udp ? "udp" : "tcp";
    d["family"] = question.family == AF_INET6 ? "ipv6" : "ipv4";
    d["requested"] = requested.ToString();
    d["local"] = question.local_port != 0 ? Endpoint{FromBytes(question.family, question.local), question.local_port}.ToString()
                                          : Endpoint{Address{}, 0}.ToString();
    d["outcome"] = "refused";
    d["redirected"] = false;
    d["remote"] = requested.ToString();
    d["redirect_target_pid"] = nullptr;
    d["accepted_by"] = nullptr;
    d["context"] = nullptr;
    Json live{{"real_pid", question.pid}, {"image", Utf8(LiveImagePath(exe))}};

    if (!options_.allowRemote && !requested.address.IsLoopback()) {
        const std::string message = "refused: " + requested.ToString() +
                                    " is not a loopback address (qvrsim live --allow-remote lifts this)";
        fail(ENETUNREACH, message);
        d["outcome"] = "refused";
        d["redirected"] = false;
        live["answer"] = "fail";
        live["errno"] = "ENETUNREACH";
        d["live"] = live;
        report.lines.push_back(message);
        Emit(report);
        return answer;
    }

    winsim::network::ConnectRequest request;
    request.processId = pid;
    request.protocol = udp ? 17 : 6;
    request.remote = {StandInAddress(requested.address), requested.port};
    if (question.local_port != 0) {
        request.local = Endpoint{FromBytes(question.family, question.local), question.local_port};
    }
    winsim::network::Connection connection = winsim::network::Connect(request);
    const Outcome outcome = connection.WaitSettled(kClassifyWait);
    const bool redirected = connection.Redirected();
    d["local"] = connection.Local().ToString();
    d["outcome"] = OutcomeWord(outcome);
    d["redirected"] = redirected;
    d["remote"] = connection.Remote().ToString();
    d["redirect_target_pid"] = redirected ? Json(connection.RedirectTargetProcessId()) : Json(nullptr);
    live["stand_in"] = request.remote.ToString();
    std::string line = exe + " (pid " + std::to_string(question.pid) + ", winsim " + std::to_string(pid) + ") " +
                       (udp ? "UDP " : "") + "to " + requested.ToString() + " (the driver sees " +
                       request.remote.ToString() + ") -> " + OutcomeWord(outcome);
    if (!udp) {
        if (std::optional<agent::VerdictDecision> verdict = player_.VerdictFor(connection.Local())) {
            d["verdict"] = VerdictJson(*verdict);
            line += ", held for the service's verdict: " + VerdictWord(*verdict);
        }
    }

    if (outcome == Outcome::Pending) {
        fail(ETIMEDOUT, "the classify did not end within 30 s");
        connection.Close();
        live["answer"] = "fail";
        live["errno"] = "ETIMEDOUT";
    } else if (outcome == Outcome::Blocked) {
        fail(EACCES, d.contains("verdict") ? "blocked by the service's verdict" : "blocked by the driver");
        live["answer"] = "fail";
        live["errno"] = "EACCES";
        connection.Close();
    } else if (redirected && outcome == Outcome::Connected && !udp) {
        auto bridged = std::make_shared<Bridged>();
        bridged->pid = question.pid;
        bridged->exe = exe;
        bridged->image = LiveImagePath(exe);
        bridged->requested = requested;
        bridged->standIn = request.remote;
        bridged->localPort = question.local_port;
        bridged->connection = connection;
        bridged->started = std::chrono::steady_clock::now();
        const std::uint16_t target = connection.Remote().port;
        // The redirect goes to the driver's target port: the real proxy stands for the
        // scenario's proxy; any other port is used as it is.
        const std::uint16_t port = target == winsimProxyPort_ ? proxyPort_ : target;
        answer.action = QVR_LIVE_REDIRECT;
        answer.port = port;
        const Address loopback = question.family == AF_INET6 ? Address::LoopbackV6() : Address::LoopbackV4();
        std::memcpy(answer.address, loopback.bytes.data(), 16);
        live["answer"] = "redirect";
        live["redirected_to"] = Endpoint{loopback, port}.ToString();
        line += ", redirected to " + connection.Remote().ToString() + " (real " + Endpoint{loopback, port}.ToString() + ")";
        if (target == winsimProxyPort_ && question.local_port != 0) {
            std::lock_guard<std::mutex> guard(lock_);
            bridged_[question.local_port] = bridged;
        }
    } else if (redirected && outcome == Outcome::Refused) {
        fail(ECONNREFUSED, "redirected to " + connection.Remote().ToString() + ", where nothing listens");
        live["answer"] = "fail";
        live["errno"] = "ECONNREFUSED";
        connection.Close();
    } else {
        answer.action = QVR_LIVE_DIRECT;
        live["answer"] = "direct";
        connection.Close();
    }
    d["live"] = live;
    report.lines.push_back(line);
    Emit(report);
    return answer;
}

void LiveSession::AcceptLoop(tcp::acceptor &acceptor)
{
    while (!stopping_) {
        auto client = std::make_shared<tcp::socket>(io_);
        boost::system::error_code error;
        acceptor.accept(*client, error);
        if (error || stopping_) {
            return;
        }
        std::lock_guard<std::mutex> guard(threadsLock_);
        threads_.emplace_back([this, client] { Relay(client); });
    }
}

void LiveSession::Relay(std::shared_ptr<tcp::socket> client)
{
    boost::system::error_code error;
    const std::uint16_t peerPort = client->remote_endpoint(error).port();
    std::shared_ptr<Bridged> bridged;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = bridged_.find(peerPort);
        if (found != bridged_.end()) {
            bridged = found->second;
            bridged_.erase(found);
        }
    }
    if (!bridged) {
        client->close(error);  // not a connection the driver redirected here
        return;
    }
    // The winsim side of the bridge: the connection the scenario's proxy accepted, with the
    // context record the driver attached, read through the redirect-context query.
    agent::LocalProxy *proxy = player_.RunningProxy();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!bridged->accepted && proxy != nullptr && std::chrono::steady_clock::now() < deadline) {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = unclaimed_.begin(); it != unclaimed_.end(); ++it) {
            if (it->peer == bridged->connection.Local()) {
                bridged->accepted = *it;
                unclaimed_.erase(it);
                break;
            }
        }
        if (!bridged->accepted) {
            if (std::optional<agent::ProxiedConnection> next = proxy->Accept(std::chrono::milliseconds(20))) {
                unclaimed_.push_back(*next);
            }
        }
    }
    // Onwards to where the program wanted to go: the record's destination, mapped back to
    // the real address.
    Endpoint onward = bridged->requested;
    if (bridged->accepted && bridged->accepted->context) {
        onward = {RealAddress(bridged->accepted->context->requested.address), bridged->accepted->context->requested.port};
    }
    tcp::socket server(io_);
    server.connect(tcp::endpoint(ToAsio(onward.address), onward.port), error);
    std::atomic<std::uint64_t> up{0};
    std::atomic<std::uint64_t> down{0};
    const std::string connectError = error ? error.message() : "";
    if (!error) {
        auto pump = [](tcp::socket &from, tcp::socket &to, std::atomic<std::uint64_t> &count) {
            std::array<char, 65536> buffer;
            boost::system::error_code e;
            for (;;) {
                const std::size_t n = from.read_some(asio::buffer(buffer), e);
                if (e || n == 0) break;
                asio::write(to, asio::buffer(buffer.data(), n), e);
                if (e) break;
                count += n;
            }
            to.shutdown(tcp::socket::shutdown_send, e);
        };
        std::thread back([&] { pump(server, *client, down); });
        pump(*client, server, up);
        back.join();
    }
    client->close(error);
    server.close(error);
    bridged->connection.Close();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - bridged->started).count();

    ConnectionReport report;
    report.name = "proxied:" + std::to_string(peerPort);
    report.label = "through the proxy: " + bridged->exe + " to " + bridged->requested.ToString();
    Json &d = report.details;
    d["process"] = bridged->exe;
    d["pid"] = bridged->pid;
    d["protocol"] = "tcp";
    d["family"] = bridged->requested.address.family == 23 ? "ipv6" : "ipv4";
    d["requested"] = bridged->requested.ToString();
    d["local"] = bridged->connection.Local().ToString();
    d["outcome"] = connectError.empty() ? "closed" : "refused";
    d["redirected"] = true;
    d["remote"] = onward.ToString();
    d["redirect_target_pid"] = bridged->connection.RedirectTargetProcessId();
    d["accepted_by"] = bridged->accepted ? Json("proxy") : Json(nullptr);
    Json context = nullptr;
    std::string recordLine = "proxy: no context record (the winsim side was not accepted)";
    if (bridged->accepted) {
        const agent::ProxiedConnection &accepted = *bridged->accepted;
        context = Json{{"query_status", agent::StatusText(accepted.contextStatus)},
                       {"size", accepted.contextBytes.size()},
                       {"hex", Hex(accepted.contextBytes)},
                       {"record", nullptr}};
        if (accepted.context) {
            const agent::RedirectContext &r = *accepted.context;
            context["record"] = Json{{"requested", r.requested.ToString()}, {"local_port", r.localPort},
                                     {"process_id", r.processId},       {"app_path", Utf8(r.appPath)},
                                     {"size", r.size},                  {"version", r.version}};
            recordLine = "proxy read: requested " + r.requested.ToString() + ", local port " +
                         std::to_string(r.localPort) + ", process " + std::to_string(r.processId) + ", application " +
                         Utf8(r.appPath);
        }
    }
    d["context"] = context;
    d["live"] = Json{{"image", Utf8(bridged->image)},
                     {"onward", onward.ToString()},
                     {"onward_error", connectError.empty() ? Json(nullptr) : Json(connectError)},
                     {"bytes_up", up.load()},
                     {"bytes_down", down.load()},
                     {"seconds", seconds}};
    report.lines.push_back("proxy: " + bridged->exe + " (" + Utf8(bridged->image) + ") to " +
                           bridged->requested.ToString() + ": " +
                           (connectError.empty() ? "relayed " + std::to_string(up.load()) + " bytes up, " +
                                                       std::to_string(down.load()) + " down"
                                                 : "onwards refused: " + connectError));
    report.lines.push_back(recordLine);
    if (bridged->accepted) {
        report.lines.push_back("context record (" + std::to_string(bridged->accepted->contextBytes.size()) +
                               " bytes): " + Hex(bridged->accepted->contextBytes));
    }
    Emit(report);
}

std::string Describe(int status)
{
    if (WIFEXITED(status)) {
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return std::string("ended by signal ") + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    }
    return "ended";
}

// Whether the child ended within `limit` (its status in *status).
bool WaitForExit(pid_t child, int *status, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const pid_t ended = waitpid(child, status, WNOHANG);
        if (ended == child || (ended < 0 && errno != EINTR)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// SIGINT and SIGTERM, while the program runs, reach qvrsim through a pipe instead of ending
// it; the handlers before are put back afterwards. A program started by execve gets the
// default dispositions again.
class StopSignals {
public:
    StopSignals()
    {
        if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
            pipe_[0] = pipe_[1] = -1;
            return;
        }
        writeEnd_ = pipe_[1];
        struct sigaction action {};
        action.sa_handler = [](int signo) {
            const char byte = static_cast<char>(signo);
            (void)!write(writeEnd_, &byte, 1);
        };
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~StopSignals()
    {
        if (pipe_[0] >= 0) {
            sigaction(SIGINT, &oldInt_, nullptr);
            sigaction(SIGTERM, &oldTerm_, nullptr);
            writeEnd_ = -1;
            close(pipe_[0]);
            close(pipe_[1]);
        }
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // Waits until the child ends (0) or a stop signal comes first (its number).
    int WaitFor(pid_t child, int *status)
    {
        for (;;) {
            if (pipe_[0] >= 0) {
                char byte = 0;
                if (read(pipe_[0], &byte, 1) == 1) {
                    return static_cast<unsigned char>(byte);
                }
            }
            if (WaitForExit(child, status, std::chrono::milliseconds(50))) {
                return 0;
            }
        }
    }

private:
    // The write end, for the handler: a plain object, as a handler may only touch those.
    static inline volatile sig_atomic_t writeEnd_ = -1;
    int pipe_[2] = {-1, -1};
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

int LiveSession::Run(const std::string &resolved)
{
    std::string problem;
    if (!StartProxy(&problem) || !StartServer(&problem)) {
        Line("live: " + problem);
        return 3;
    }
    // QUIC: the service's filters for UDP to port 443, judged by the driver's QUIC callouts.
    agent::RedirectFilters &filters = player_.Filters();
    if ((filters.IsOpen() || filters.Open() == 0) && filters.AddQuicFilters(443) != 0) {
        Line("live: the QUIC filters could not be added");
    }
    Line("live: proxy on 127.0.0.1:" + std::to_string(proxyPort_) + (acceptors_.size() > 1 ? " and [::1]:" + std::to_string(proxyPort_) : "") +
         " stands for the scenario's proxy port " + std::to_string(winsimProxyPort_) + "; running " + resolved);

    std::thread server([this] { Serve(); });
    std::thread exits([this] { FollowExits(); });
    std::vector<std::thread> acceptors;
    for (auto &acceptor : acceptors_) {
        acceptors.emplace_back([this, &acceptor] { AcceptLoop(*acceptor); });
    }

    std::vector<std::string> environment;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("LD_PRELOAD=", 0) != 0 && entry.rfind(QVR_LIVE_SOCKET_ENV "=", 0) != 0) {
            environment.push_back(entry);
        }
    }
    const char *preloaded = std::getenv("LD_PRELOAD");
    environment.push_back("LD_PRELOAD=" + options_.preload + (preloaded != nullptr ? std::string(" ") + preloaded : ""));
    environment.push_back(std::string(QVR_LIVE_SOCKET_ENV "=") + socketPath_);
    std::vector<char *> envp;
    for (std::string &entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = options_.program;
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int code = 0;
    StopSignals signals;
    const pid_t child = fork();
    if (child == 0) {
        execve(resolved.c_str(), argv.data(), envp.data());
        std::fprintf(stderr, "qvrsim live: cannot run %s: %s\n", resolved.c_str(), std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    if (child < 0) {
        Line(std::string("live: cannot start the program: ") + std::strerror(errno));
        code = 3;
    } else {
        const int interrupted = signals.WaitFor(child, &status);
        if (interrupted != 0) {
            // Interrupted while the program runs: the driver unloads with its connections
            // open, which ends every held classify (the program's call fails), then the
            // program is given a moment to end on its own before it is stopped.
            Line(std::string("live: ") + strsignal(interrupted) + ": the driver unloads while " + options_.program[0] +
                 " runs");
            player_.UnloadNow("interrupted while the program runs");
            if (!WaitForExit(child, &status, std::chrono::seconds(5))) {
                kill(child, SIGTERM);
                if (!WaitForExit(child, &status, std::chrono::seconds(2))) {
                    kill(child, SIGKILL);
                    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
                    }
                }
            }
        }
        Line("live: " + options_.program[0] + " " + Describe(status));
        code = interrupted == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 3;
    }

    // The program has ended: no more questions; connections still relaying end with it
    // (their winsim side closes), then the threads are joined.
    stopping_ = true;
    shutdown(server_, SHUT_RDWR);
    close(server_);
    server.join();
    exits.join();
    for (auto &acceptor : acceptors_) {
        // A blocked accept() wakes on shutdown of its socket, not on close.
        ::shutdown(acceptor->native_handle(), SHUT_RDWR);
        boost::system::error_code error;
        acceptor->close(error);
    }
    for (std::thread &t : acceptors) t.join();
    for (;;) {
        std::thread t;
        {
            std::lock_guard<std::mutex> guard(threadsLock_);
            if (threads_.empty()) break;
            t = std::move(threads_.back());
            threads_.pop_back();
        }
        t.join();
    }
    EndProcesses(true);
    {
        std::lock_guard<std::mutex> guard(lock_);
        bridged_.clear();
        unclaimed_.clear();
    }
    std::filesystem::remove_all(directory_);
    return code;
}

}  // namespace

extern const char kEmbeddedLiveScenario[];  // generated from scenarios/live.qvrsim

const std::string &LiveScenarioText()
{
    static const std::string text = kEmbeddedLiveScenario;
    return text;
}

std::u16string LiveImagePath(const std::string &realPath)
{
    std::u16string path = u"\\Device\\HarddiskVolume1";
    for (char c : realPath) {
        path.push_back(c == '/' ? u'\\' : static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    return path;
}

Address StandInAddress(const Address &real)
{
    Address standIn = real;
    if (real.family == 2 && real.bytes[0] == 127 && real.bytes[1] == 0) {
        standIn.bytes[0] = 198;
        standIn.bytes[1] = 18;
    } else if (real == Address::LoopbackV6()) {
        standIn = Address::Parse("2001:db8:7f::1");
    }
    return standIn;
}

Address RealAddress(const Address &standIn)
{
    Address real = standIn;
    if (standIn.family == 2 && standIn.bytes[0] == 198 && standIn.bytes[1] == 18) {
        real.bytes[0] = 127;
        real.bytes[1] = 0;
    } else if (standIn == Address::Parse("2001:db8:7f::1")) {
        real = Address::LoopbackV6();
    }
    return real;
}

std::string CheckLiveProgram(const std::string &program, std::string *resolved)
{
    std::string path = program;
    if (program.find('/') == std::string::npos) {
        path.clear();
        const char *search = std::getenv("PATH");
        std::string dirs = search != nullptr ? search : "/usr/bin:/bin";
        std::size_t start = 0;
        while (start <= dirs.size()) {
            const std::size_t end = dirs.find(':', start);
            const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
            const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
            if (access(candidate.c_str(), X_OK) == 0) {
                path = candidate;
                break;
            }
            if (end == std::string::npos) break;
            start = end + 1;
        }
        if (path.empty()) {
            return program + ": not found on PATH";
        }
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || access(path.c_str(), X_OK) != 0) {
        return path + ": not an executable file";
    }
    // A dynamically linked program names its interpreter (PT_INTERP); without one the
    // preload library is never loaded and its connections would bypass the driver.
    std::ifstream in(path, std::ios::binary);
    Elf64_Ehdr header{};
    in.read(reinterpret_cast<char *>(&header), sizeof(header));
    if (!in || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        return path + ": not an ELF program (scripts: run their interpreter, e.g. python3 script.py)";
    }
    if (header.e_ident[EI_CLASS] != ELFCLASS64) {
        return path + ": not a 64-bit program; the preload library is built for this machine only";
    }
    bool interpreter = false;
    for (int i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment{};
        in.seekg(static_cast<std::streamoff>(header.e_phoff + static_cast<std::uint64_t>(i) * header.e_phentsize));
        in.read(reinterpret_cast<char *>(&segment), sizeof(segment));
        interpreter = interpreter || (in && segment.p_type == PT_INTERP);
    }
    if (!interpreter) {
        return path + ": statically linked: the preload library cannot see its connections, so live mode cannot "
                      "put them through the driver";
    }
    *resolved = path;
    return "";
}

int RunLive(const Scenario &scenario, Output &output, const LiveOptions &options)
{
    int programCode = 0;
    const Report report = RunScenario(scenario, output, true, options.trace, [&](Player &player, Report &report) {
        LiveSession session(player, report, output, options);
        std::string resolved;
        CheckLiveProgram(options.program[0], &resolved);
        programCode = session.Run(resolved);
    });
    const int code = report.ExitCode();
    return code != 0 ? code : programCode;
}

}  // namespace qvr::sim
