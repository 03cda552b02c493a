/*
 * network_stack.cpp (winsim network)
 *
 * The road of a connection: ALE connect-redirect (with the reauthorizations WFP runs when
 * a pended classify completes or a modified request is modified again), the redirect
 * record of a redirected connection, the flow, ALE auth-connect (pended operations held
 * until completed, then reauthorized), the discard layer of a blocked connection, and the
 * delivery to a listener that WFP would hand it to. The stack's own thread carries on what
 * a driver completes later; the flow's end removes its contexts and frees the redirect
 * context WFP took over.
 */
#include "network_internal.h"

#include "kernel/kernel_internal.h"

#include <winsim/processes.h>
#include <winsim/wfp.h>

#include <algorithm>
#include <thread>

namespace winsim::network {

using namespace winsim::wfp::detail;

namespace {

constexpr int kMaxConnectRedirectRounds = 4;

struct Network {
    std::mutex mu;
    std::condition_variable changed;
    std::vector<std::shared_ptr<ConnectionState>> connections;
    std::size_t connectionsAfterPrune = 0;  // the list's length after its last pruning
    std::vector<std::shared_ptr<ListenerState>> listeners;
    std::uint64_t nextConnectionId = 1;
    std::uint16_t nextEphemeralPort = 49152;
    Address hostV4 = Address::V4(192, 0, 2, 10);
    Address hostV6 = Address::Parse("2001:db8::10");

    std::deque<std::function<void()>> work;
    bool workerBusy = false;
    bool workerStarted = false;
};

Network &Net()
{
    static Network *net = new Network();  // outlives static destruction: its thread may run
    return *net;
}

void WorkerLoop()
{
    Network &n = Net();
    std::unique_lock<std::mutex> lock(n.mu);
    for (;;) {
        n.changed.wait(lock, [&] { return !n.work.empty(); });
        std::function<void()> item = std::move(n.work.front());
        n.work.pop_front();
        n.workerBusy = true;
        lock.unlock();
        item();
        lock.lock();
        n.workerBusy = false;
        n.changed.notify_all();
    }
}

void SetOutcome(ConnectionState &c, Outcome outcome, NTSTATUS status = STATUS_SUCCESS)
{
    Network &n = Net();
    std::lock_guard<std::mutex> lock(n.mu);
    c.outcome = outcome;
    c.status = status;
    n.changed.notify_all();
}

// Ends the connection's flow and frees what WFP owns for it: the redirect contexts.
void EndConnection(ConnectionState &c)
{
    std::shared_ptr<Flow> flow;
    {
        // The network's thread attaches the flow under this mutex (EnterAuthConnect); a flow
        // attached after this point is ended there.
        std::lock_guard<std::mutex> lock(Net().mu);
        if (c.ended) {
            return;
        }
        c.ended = true;
        flow = c.flow;
    }
    if (flow) {
        EndFlow(flow);
    }
    std::set<void *> contexts;
    {
        // FwpsApplyModifiedLayerData0 adds to the contexts under the engine's mutex.
        Engine &e = GetEngine();
        std::lock_guard<std::mutex> lock(e.mu);
        e.liveRecords.erase(&c.records);
        contexts.swap(c.chain.contexts);
        c.chain.ended = true;
    }
    for (void *context : contexts) {
        ExFreePool(context);
    }
}

void Finish(ConnectionState &c, Outcome outcome, NTSTATUS status = STATUS_SUCCESS)
{
    if (outcome != Outcome::Connected) {
        EndConnection(c);
    }
    SetOutcome(c, outcome, status);
}

bool IsLocalDestination(const ConnectionState &c)
{
    const Address &a = c.remote.address;
    return a.IsLoopback() || a == HostAddress(a.family) || a == c.local.address;
}

void Deliver(ConnectionState &c)
{
    if (c.request.protocol != IPPROTO_TCP || !IsLocalDestination(c)) {
        Finish(c, Outcome::Connected);
        return;
    }
    std::shared_ptr<ListenerState> listener;
    std::shared_ptr<ConnectionState> self = c.self.lock();
    {
        std::lock_guard<std::mutex> lock(Net().mu);
        for (const std::shared_ptr<ListenerState> &l : Net().listeners) {
            if (!l->closed && l->local.port == c.remote.port && l->local.address.family == c.remote.address.family &&
                (l->local.address.IsUnspecified() || l->local.address == c.remote.address)) {
                listener = l;
            }
        }
        // WFP hands a redirected connection only to the process the redirect named.
        if (listener && c.redirected && listener->processId != c.targetPid) {
            listener.reset();
        }
        if (listener) {
            c.acceptedBy = listener->processId;
            listener->backlog.push_back(self);
        }
    }
    if (!listener) {
        Finish(c, Outcome::Refused, STATUS_CONNECTION_REFUSED);
        return;
    }
    Finish(c, Outcome::Connected);
}

void ClassifyAuthDiscard(ConnectionState &c)
{
    std::unique_ptr<LayerRun> run = BuildAuthConnectRun(c, false, true);
    RunLayer(*run);
}

void AuthConnectPhase(const std::shared_ptr<ConnectionState> &c, bool reauthorization);

void OnOperationCompleted(const std::shared_ptr<ConnectionState> &c)
{
    bool reauthorize = false;
    {
        std::lock_guard<std::mutex> lock(Net().mu);
        c->pendedOperations--;
        if (c->site.inClassify) {
            c->completedWhileClassifying = true;
        } else if (c->pendedOperations == 0 && c->heldAtAuthConnect) {
            c->heldAtAuthConnect = false;
            reauthorize = true;
        }
    }
    if (reauthorize) {
        Post([c] { AuthConnectPhase(c, true); });
    }
}

// Called with the network mutex held, right after the auth-connect classify returned:
// decides whether the connection is held for pended operations or reauthorized at once.
enum class AuthNext { Decide, Held, Reauthorize };

AuthNext AfterAuthConnectLocked(ConnectionState &c, RunStop stop)
{
    c.site.inClassify = false;
    c.decidingFilter = c.run->decidingFilter;
    if (c.pendedOperations > 0) {
        if (stop != RunStop::Absorbed) {
            wfp::detail::Violation("FwpsPendOperation0", "a classifyFn that pended the operation returned without "
                                            "FWPS_CLASSIFY_OUT_FLAG_ABSORB");
        }
        c.heldAtAuthConnect = true;
        return AuthNext::Held;  // stays Pending until every pended operation is completed
    }
    bool completed = c.completedWhileClassifying;
    c.completedWhileClassifying = false;
    return stop == RunStop::Absorbed && completed ? AuthNext::Reauthorize : AuthNext::Decide;
}

void DecideAuthConnect(const std::shared_ptr<ConnectionState> &c, RunStop stop)
{
    if (stop == RunStop::Absorbed || c->run->FinalAction() == FWP_ACTION_BLOCK) {
        if (stop != RunStop::Absorbed) {
            ClassifyAuthDiscard(*c);
        }
        Finish(*c, Outcome::Blocked);
        return;
    }
    Deliver(*c);
}

void AuthConnectPhase(const std::shared_ptr<ConnectionState> &c, bool reauthorization)
{
    {
        std::lock_guard<std::mutex> lock(Net().mu);
        if (c->ended) {
            return;  // closed while it was held
        }
    }
    c->run = BuildAuthConnectRun(*c, reauthorization, false);
    c->run->owner = c;
    c->site.reauthorization = reauthorization;
    c->site.pend = [weak = std::weak_ptr<ConnectionState>(c)]() -> std::function<void()> {
        std::shared_ptr<ConnectionState> conn = weak.lock();
        std::lock_guard<std::mutex> lock(Net().mu);
        conn->pendedOperations++;
        return [conn] { OnOperationCompleted(conn); };
    };
    Engine &e = GetEngine();
    {
        std::lock_guard<std::mutex> lock(Net().mu);
        c->site.inClassify = true;
        c->authConnectClassifies++;
    }
    {
        std::lock_guard<std::mutex> lock(e.mu);
        e.liveSites.insert(&c->site);
    }
    RunStop stop = RunLayer(*c->run);
    {
        std::lock_guard<std::mutex> lock(e.mu);
        e.liveSites.erase(&c->site);
    }
    AuthNext next;
    {
        std::lock_guard<std::mutex> lock(Net().mu);
        next = AfterAuthConnectLocked(*c, stop);
    }
    if (next == AuthNext::Reauthorize) {
        Post([c] { AuthConnectPhase(c, true); });
    } else if (next == AuthNext::Decide) {
        DecideAuthConnect(c, stop);
    }
}

// What connect-redirect decided becomes the connection: its destination, its redirect
// record, its local address, its flow.
void EnterAuthConnect(const std::shared_ptr<ConnectionState> &c)
{
    const FWPS_CONNECT_REQUEST0 &final = c->chain.Current();
    bool changed = std::memcmp(&final.remoteAddressAndPort, &c->chain.original.remoteAddressAndPort,
                               sizeof(SOCKADDR_STORAGE)) != 0;
    {
        std::lock_guard<std::mutex> lock(Net().mu);
        c->remote = FromSockaddr(final.remoteAddressAndPort);
        c->redirected = !c->chain.versions.empty() && (changed || final.localRedirectHandle != nullptr);
        c->targetPid = final.localRedirectTargetPID;
    }
    if (c->redirected) {
        RedirectRecord record;
        {
            // The redirect context is copied under the engine's mutex: a close on the
            // application's thread (EndConnection) frees it under the same mutex.
            Engine &e = GetEngine();
            std::lock_guard<std::mutex> lock(e.mu);
            auto it = e.redirectHandles.find(static_cast<RedirectHandle *>(final.localRedirectHandle));
            record.redirectHandleId = it == e.redirectHandles.end() ? 0 : it->second->id;
            if (final.localRedirectContext != nullptr && !c->chain.ended) {
                const auto *bytes = static_cast<const UINT8 *>(final.localRedirectContext);
                record.context.assign(bytes, bytes + final.localRedirectContextSize);
            }
        }
        record.targetProcessId = final.localRedirectTargetPID;
        record.originalRemote = c->chain.original.remoteAddressAndPort;
        c->records.records.push_back(std::move(record));
        c->originalDestination = c->chain.original.remoteAddressAndPort;
    }
    Endpoint local = FromSockaddr(c->chain.original.localAddressAndPort);
    if (local.address.IsUnspecified()) {
        local.address = c->remote.address.IsLoopback()
                            ? (c->remote.address.family == 2 ? Address::LoopbackV4() : Address::LoopbackV6())
                            : HostAddress(c->remote.address.family);
    }
    std::shared_ptr<Flow> flow = CreateFlow();
    bool closed = false;
    {
        std::lock_guard<std::mutex> lock(Net().mu);
        c->local = local;
        c->flow = flow;
        closed = c->ended;
    }
    if (closed) {
        EndFlow(flow);  // the application closed the socket while its connect was classified
    }
    AuthConnectPhase(c, false);
}

void ConnectRedirectPhase(const std::shared_ptr<ConnectionState> &c, bool reauthorization);

void AfterConnectRedirect(const std::shared_ptr<ConnectionState> &c, RunStop stop)
{
    if (stop == RunStop::PendedClassify) {
        std::weak_ptr<ConnectionState> weak = c;
        OnPendedClassifyCompleted(c->run->pendedHandle, [weak](std::optional<FWPS_CLASSIFY_OUT0> out) {
            Post([weak, out] {
                std::shared_ptr<ConnectionState> conn = weak.lock();
                if (!conn) {
                    return;
                }
                {
                    std::lock_guard<std::mutex> lock(Net().mu);
                    if (conn->ended) {
                        return;  // closed while it was pended
                    }
                }
                if (!out) {
                    ConnectRedirectPhase(conn, true);  // completed with NULL: reauthorized
                    return;
                }
                MergeCompletedClassify(*conn->run, *out);
                // Filters after the completed one see the connection as reauthorized.
                UINT32 flags = conn->run->values->Value(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS).uint32;
                conn->run->values->SetUint32(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS,
                                             flags | FWP_CONDITION_FLAG_IS_REAUTHORIZE);
                AfterConnectRedirect(conn, RunLayer(*conn->run));
            });
        });
        return;
    }
    if (stop == RunStop::Absorbed || c->run->FinalAction() == FWP_ACTION_BLOCK) {
        {
            std::lock_guard<std::mutex> lock(Net().mu);
            c->decidingFilter = c->run->decidingFilter;
        }
        Finish(*c, Outcome::Blocked);
        return;
    }
    if (c->chain.reauthorizeRequested && c->connectRedirectRounds < kMaxConnectRedirectRounds) {
        c->chain.reauthorizeRequested = false;
        ConnectRedirectPhase(c, true);
        return;
    }
    EnterAuthConnect(c);
}

void ConnectRedirectPhase(const std::shared_ptr<ConnectionState> &c, bool reauthorization)
{
    c->connectRedirectRounds++;
    {
        std::lock_guard<std::mutex> lock(Net().mu);
        c->connectRedirectClassifies++;
    }
    c->run = BuildConnectRedirectRun(*c, reauthorization);
    c->run->owner = c;
    AfterConnectRedirect(c, RunLayer(*c->run));
}

}  // namespace

std::mutex &NetworkMutex() { return Net().mu; }
std::condition_variable &NetworkChanged() { return Net().changed; }

void Post(std::function<void()> work)
{
    Network &n = Net();
    std::lock_guard<std::mutex> lock(n.mu);
    if (!n.workerStarted) {
        n.workerStarted = true;
        std::thread(WorkerLoop).detach();
    }
    n.work.push_back(std::move(work));
    n.changed.notify_all();
}

Address HostAddress(std::uint16_t family)
{
    std::lock_guard<std::mutex> lock(Net().mu);
    return family == 2 ? Net().hostV4 : Net().hostV6;
}

// The stack keeps no history of connections: once the list has doubled since it was last
// pruned, the connections that have ended and that nobody holds any more leave it (Reset
// would only have closed them again), so a long run (a fuzzer, a live session) stays
// within bounds. Amortised O(1) per connection. Called with the lock.
void PruneEndedConnectionsLocked(Network &net)
{
    const std::size_t due = std::max<std::size_t>(64, 2 * net.connectionsAfterPrune);
    if (net.connections.size() < due) {
        return;
    }
    std::vector<std::shared_ptr<ConnectionState>> kept;
    kept.reserve(net.connections.size());
    for (std::shared_ptr<ConnectionState> &c : net.connections) {
        if (!(c->ended && c.use_count() == 1)) {
            kept.push_back(std::move(c));
        }
    }
    net.connections.swap(kept);
    net.connectionsAfterPrune = net.connections.size();
}

Connection Connect(const ConnectRequest &request)
{
    auto c = std::make_shared<ConnectionState>();
    c->self = c;
    c->request = request;
    if (c->request.appId.empty()) {
        // The stack knows the image of a running process.
        c->request.appId = winsim::processes::ImagePath(request.processId).value_or(std::u16string());
    }
    c->requestedRemote = request.remote;
    Endpoint local = request.local.value_or(Endpoint{request.remote.address.family == 2 ? Address::AnyV4()
                                                                                        : Address::AnyV6(),
                                                     0});
    {
        std::lock_guard<std::mutex> lock(Net().mu);
        c->id = Net().nextConnectionId++;
        if (local.port == 0) {
            local.port = Net().nextEphemeralPort++;
            if (Net().nextEphemeralPort == 0) {
                Net().nextEphemeralPort = 49152;
            }
        }
        Net().connections.push_back(c);
        PruneEndedConnectionsLocked(Net());
    }
    ToSockaddr(local, &c->chain.original.localAddressAndPort);
    ToSockaddr(request.remote, &c->chain.original.remoteAddressAndPort);
    {
        Engine &e = GetEngine();
        std::lock_guard<std::mutex> lock(e.mu);
        e.liveRecords.insert(&c->records);
    }
    if (request.redirectRecords) {
        const std::vector<std::uint8_t> &bytes = *request.redirectRecords;
        if (!ParseRecords(bytes.data(), bytes.size(), &c->records)) {
            Finish(*c, Outcome::Refused, STATUS_INVALID_PARAMETER);  // the socket control failed
            return Connection(c);
        }
    }
    ConnectRedirectPhase(c, false);
    return Connection(c);
}

// ---- Connection ------------------------------------------------------------------------------

Outcome Connection::State() const
{
    std::lock_guard<std::mutex> lock(Net().mu);
    return state_->outcome;
}

Outcome Connection::WaitSettled(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(Net().mu);
    Net().changed.wait_for(lock, timeout, [&] { return state_->outcome != Outcome::Pending; });
    return state_->outcome;
}

Endpoint Connection::RequestedRemote() const { return state_->requestedRemote; }

Endpoint Connection::Remote() const
{
    std::lock_guard<std::mutex> lock(Net().mu);
    return state_->remote;
}

Endpoint Connection::Local() const
{
    std::lock_guard<std::mutex> lock(Net().mu);
    return state_->local;
}

bool Connection::Redirected() const
{
    std::lock_guard<std::mutex> lock(Net().mu);
    return state_->redirected;
}

std::uint32_t Connection::RedirectTargetProcessId() const
{
    std::lock_guard<std::mutex> lock(Net().mu);
    return state_->targetPid;
}

std::uint64_t Connection::AcceptedByProcessId() const
{
    std::lock_guard<std::mutex> lock(Net().mu);
    return state_->acceptedBy;
}

std::uint64_t Connection::FlowHandle() const
{
    std::lock_guard<std::mutex> lock(Net().mu);
    return state_->flow ? state_->flow->id : 0;
}

std::uint64_t Connection::DecidingFilterId() const
{
    std::lock_guard<std::mutex> lock(Net().mu);
    return state_->decidingFilter;
}

NTSTATUS Connection::Status() const
{
    std::lock_guard<std::mutex> lock(Net().mu);
    return state_->status;
}

int Connection::ConnectRedirectClassifies() const
{
    std::lock_guard<std::mutex> lock(Net().mu);
    return state_->connectRedirectClassifies;
}

int Connection::AuthConnectClassifies() const
{
    std::lock_guard<std::mutex> lock(Net().mu);
    return state_->authConnectClassifies;
}

void Connection::Close()
{
    EndConnection(*state_);
    std::lock_guard<std::mutex> lock(Net().mu);
    if (state_->outcome == Outcome::Connected || state_->outcome == Outcome::Pending) {
        state_->outcome = Outcome::Closed;
    }
    Net().changed.notify_all();
}

// ---- listeners and accepted connections ------------------------------------------------------

Listener Listen(std::uint64_t processId, const Endpoint &local)
{
    std::lock_guard<std::mutex> lock(Net().mu);
    // A closed listener is only kept by its Listener objects: dropped here, a run that opens
    // and closes listeners keeps the list (walked at every local delivery) at those open.
    std::vector<std::shared_ptr<ListenerState>> &listeners = Net().listeners;
    listeners.erase(std::remove_if(listeners.begin(), listeners.end(),
                                   [](const std::shared_ptr<ListenerState> &l) { return l->closed; }),
                    listeners.end());
    for (const std::shared_ptr<ListenerState> &l : listeners) {
        if (l->local == local) {
            return Listener();
        }
    }
    auto l = std::make_shared<ListenerState>();
    l->processId = processId;
    l->local = local;
    Net().listeners.push_back(l);
    return Listener(l);
}

std::uint64_t Listener::ProcessId() const { return state_->processId; }
Endpoint Listener::Local() const { return state_->local; }

std::optional<Accepted> Listener::Accept(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(Net().mu);
    // A zero time-out only looks: waiting on the condition for no time still lets go of the
    // stack's lock and takes it again, behind whatever the stack's worker is doing.
    if (timeout.count() > 0) {
        Net().changed.wait_for(lock, timeout, [&] { return !state_->backlog.empty(); });
    }
    if (state_->backlog.empty()) {
        return std::nullopt;
    }
    std::shared_ptr<ConnectionState> c = state_->backlog.front();
    state_->backlog.pop_front();
    return Accepted(c);
}

std::size_t Listener::Backlog() const
{
    std::lock_guard<std::mutex> lock(Net().mu);
    return state_->backlog.size();
}

void Listener::Close()
{
    std::lock_guard<std::mutex> lock(Net().mu);
    state_->closed = true;
    state_->backlog.clear();
}

Endpoint Accepted::Remote() const { return state_->local; }
Endpoint Accepted::Local() const { return state_->remote; }

NTSTATUS Accepted::QueryRedirectRecords(std::vector<std::uint8_t> *records) const
{
    if (state_->records.records.empty()) {
        return STATUS_NOT_FOUND;
    }
    *records = SerializeRecords(state_->records);
    return STATUS_SUCCESS;
}

NTSTATUS Accepted::QueryRedirectContext(std::vector<std::uint8_t> *context) const
{
    if (!state_->redirected || state_->records.records.empty() || state_->records.records.back().context.empty()) {
        return STATUS_NOT_FOUND;
    }
    *context = state_->records.records.back().context;
    return STATUS_SUCCESS;
}

// ---- the rest of the control surface ---------------------------------------------------------

void SetHostAddresses(const Address &v4, const Address &v6)
{
    std::lock_guard<std::mutex> lock(Net().mu);
    Net().hostV4 = v4;
    Net().hostV6 = v6;
}

bool ClassifyDiscard(const DiscardEvent &event)
{
    std::unique_ptr<LayerRun> run = BuildDiscardRun(event);
    if (!run) {
        return false;
    }
    RunLayer(*run);
    return true;
}

bool Drain(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(Net().mu);
    return Net().changed.wait_for(lock, timeout, [] { return Net().work.empty() && !Net().workerBusy; });
}

void Reset()
{
    Drain();
    std::vector<std::shared_ptr<ConnectionState>> connections;
    {
        std::lock_guard<std::mutex> lock(Net().mu);
        connections.swap(Net().connections);
        Net().connectionsAfterPrune = 0;
        for (const std::shared_ptr<ListenerState> &l : Net().listeners) {
            l->closed = true;
            l->backlog.clear();
        }
        Net().listeners.clear();
        Net().hostV4 = Address::V4(192, 0, 2, 10);
        Net().hostV6 = Address::Parse("2001:db8::10");
    }
    for (const std::shared_ptr<ConnectionState> &c : connections) {
        Connection(c).Close();
    }
}

}  // namespace winsim::network

namespace winsim::wfp {

void Reset()
{
    network::Reset();
    detail::CloseAllSessionsForReset();
    detail::DeleteNonPersistentObjects(true);
    detail::Engine &e = detail::GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    e.bfeState = FWPM_SERVICE_RUNNING;
    e.bfeStateQueryHook = nullptr;
}

std::size_t PendedClassifyCount()
{
    detail::Engine &e = detail::GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    std::size_t n = 0;
    for (auto &entry : e.classifyHandles) {
        n += entry.second->pended ? 1 : 0;
    }
    return n;
}

std::size_t PendedOperationCount()
{
    detail::Engine &e = detail::GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    return e.operations.size();
}

std::size_t HeldClassifyHandleCount()
{
    detail::Engine &e = detail::GetEngine();
    std::lock_guard<std::mutex> lock(e.mu);
    std::size_t n = 0;
    for (auto &entry : e.classifyHandles) {
        n += entry.second->driverReferences > 0 ? 1 : 0;
    }
    return n;
}

}  // namespace winsim::wfp
