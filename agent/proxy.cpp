/*
 * proxy.cpp
 *
 * The agent's local proxy: its process, its listeners, the redirect context it reads from
 * each accepted connection and its own connection onwards.
 */
#include "proxy.h"

#include <winsim/processes.h>

#include <cstring>
#include <thread>

namespace qvr::agent {

namespace {

// "QVR_WFP", NUL, {A1B0956E-50F9-4C2B-9F80-CA9D32F90DD5} in memory order.
const std::uint8_t kMarker[24] = {'Q',  'V',  'R',  '_',  'W',  'F',  'P',  0x00, 0x6E, 0x95, 0xB0, 0xA1,
                                  0xF9, 0x50, 0x2B, 0x4C, 0x9F, 0x80, 0xCA, 0x9D, 0x32, 0xF9, 0x0D, 0xD5};
constexpr std::size_t kFixedSize = 174;  // the record with an empty application id
constexpr std::size_t kAppPathOffset = 172;

template <typename T>
T Read(const std::vector<std::uint8_t> &bytes, std::size_t offset)
{
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

template <typename T>
void Write(std::vector<std::uint8_t> &bytes, std::size_t offset, T value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

}  // namespace

std::optional<RedirectContext> ParseRedirectContext(const std::vector<std::uint8_t> &bytes)
{
    if (bytes.size() < kFixedSize || std::memcmp(bytes.data(), kMarker, sizeof(kMarker)) != 0) {
        return std::nullopt;
    }
    RedirectContext context;
    context.size = Read<std::uint16_t>(bytes, 24);
    context.version = Read<std::uint32_t>(bytes, 26);
    const std::uint32_t length = Read<std::uint32_t>(bytes, 168);
    if (context.version != 4 || context.size > bytes.size() || context.size != kFixedSize + 2ull * length) {
        return std::nullopt;
    }
    context.localPort = Read<std::uint16_t>(bytes, 30);
    const std::uint16_t family = Read<std::uint16_t>(bytes, 32);
    const std::uint16_t networkPort = Read<std::uint16_t>(bytes, 34);
    context.requested.port = static_cast<std::uint16_t>((networkPort >> 8) | (networkPort << 8));
    context.requested.address.family = family;
    if (family == 23) {
        std::memcpy(context.requested.address.bytes.data(), bytes.data() + 32 + 8, 16);
    } else {
        std::memcpy(context.requested.address.bytes.data(), bytes.data() + 32 + 4, 4);
    }
    context.processId = Read<std::uint64_t>(bytes, 160);
    for (std::uint32_t i = 0; i < length; ++i) {
        context.appPath.push_back(static_cast<char16_t>(Read<std::uint16_t>(bytes, kAppPathOffset + 2 * i)));
    }
    // WFP's application id carries its own terminating zero; the text ends there.
    while (!context.appPath.empty() && context.appPath.back() == u'\0') {
        context.appPath.pop_back();
    }
    return context;
}

std::vector<std::uint8_t> BuildRedirectContextBytes(const RedirectContext &context)
{
    const std::size_t length = context.appPath.size();
    std::vector<std::uint8_t> bytes(kFixedSize + 2 * length, 0);
    std::memcpy(bytes.data(), kMarker, sizeof(kMarker));
    Write<std::uint16_t>(bytes, 24, context.size != 0 ? context.size : static_cast<std::uint16_t>(bytes.size()));
    Write<std::uint32_t>(bytes, 26, context.version != 0 ? context.version : 4);
    Write<std::uint16_t>(bytes, 30, context.localPort);
    Write<std::uint16_t>(bytes, 32, context.requested.address.family);
    Write<std::uint16_t>(bytes, 34,
                         static_cast<std::uint16_t>((context.requested.port >> 8) | (context.requested.port << 8)));
    if (context.requested.address.family == 23) {
        std::memcpy(bytes.data() + 32 + 8, context.requested.address.bytes.data(), 16);
    } else {
        std::memcpy(bytes.data() + 32 + 4, context.requested.address.bytes.data(), 4);
    }
    Write<std::uint64_t>(bytes, 160, context.processId);
    Write<std::uint32_t>(bytes, 168, static_cast<std::uint32_t>(length));
    for (std::size_t i = 0; i < length; ++i) {
        Write<std::uint16_t>(bytes, kAppPathOffset + 2 * i, static_cast<std::uint16_t>(context.appPath[i]));
    }
    return bytes;
}

std::u16string LocalProxy::DefaultImagePath()
{
    return u"\\Device\\HarddiskVolume2\\Program Files\\QVR Agent\\qvrproxy.exe";
}

LocalProxy::~LocalProxy() { Stop(); }

bool LocalProxy::Start(std::uint16_t port, const std::u16string &imagePath)
{
    Stop();
    processId_ = static_cast<std::uint32_t>(winsim::processes::Start(imagePath));
    port_ = port;
    for (const winsim::network::Address &any : {winsim::network::Address::AnyV4(), winsim::network::Address::AnyV6()}) {
        winsim::network::Listener listener = winsim::network::Listen(processId_, {any, port});
        if (!listener.Valid()) {
            Stop();
            return false;
        }
        listeners_.push_back(listener);
    }
    return true;
}

void LocalProxy::Stop()
{
    for (winsim::network::Listener &listener : listeners_) {
        listener.Close();
    }
    listeners_.clear();
    if (processId_ != 0) {
        winsim::processes::End(processId_);
        processId_ = 0;
    }
}

std::optional<ProxiedConnection> LocalProxy::Accept(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (winsim::network::Listener &listener : listeners_) {
            std::optional<winsim::network::Accepted> accepted = listener.Accept();
            if (!accepted) {
                continue;
            }
            ProxiedConnection connection;
            connection.accepted = *accepted;
            connection.peer = accepted->Remote();
            connection.local = accepted->Local();
            connection.contextStatus = accepted->QueryRedirectContext(&connection.contextBytes);
            if (NT_SUCCESS(connection.contextStatus)) {
                connection.context = ParseRedirectContext(connection.contextBytes);
            }
            return connection;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

winsim::network::Connection LocalProxy::ConnectOnward(const ProxiedConnection &connection,
                                                      std::optional<std::uint64_t> byProcess)
{
    winsim::network::ConnectRequest request;
    request.processId = byProcess.value_or(processId_);
    request.remote = connection.context ? connection.context->requested : connection.local;
    std::vector<std::uint8_t> records;
    if (NT_SUCCESS(connection.accepted.QueryRedirectRecords(&records))) {
        request.redirectRecords = records;
    }
    return winsim::network::Connect(request);
}

}  // namespace qvr::agent
