// The classify value accessors against hand-written reads of the same fields at known
// indexes, measured in the same run. Every classify of the driver pays for these reads
// (the trace record collects six facts whether or not a session listens), so the ratios
// printed at the end are the price of looking the layer's row up instead of hard-coding
// one layer's indexes.
#include <ntddk.h>
#include <fwpsk.h>

#include <benchmark/benchmark.h>

#include "bench/bench_ratios.h"
#include "bench/connect_redirect_values.h"
#include "driver/redirect/classify_values.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using qvrbench::ConnectRedirectValues;

// What a classify written for this one layer would do: fixed indexes, no row lookup.
void BaselineEndpoint(const FWPS_INCOMING_VALUES0 *values, UINT32 addressIndex, UINT32 portIndex,
                      SOCKADDR_STORAGE *address)
{
    const FWP_VALUE0 &a = values->incomingValue[addressIndex].value;
    if (a.type == FWP_UINT32) {
        reinterpret_cast<SOCKADDR_IN *>(address)->sin_family = AF_INET;
        reinterpret_cast<SOCKADDR_IN *>(address)->sin_addr.s_addr = RtlUlongByteSwap(a.uint32);
    } else {
        reinterpret_cast<SOCKADDR_IN6 *>(address)->sin6_family = AF_INET6;
        std::memcpy(&reinterpret_cast<SOCKADDR_IN6 *>(address)->sin6_addr, a.byteArray16, 16);
    }
    reinterpret_cast<SOCKADDR_IN *>(address)->sin_port = RtlUshortByteSwap(values->incomingValue[portIndex].value.uint16);
}

// Out of line, as the accessor is: inlined, the test is loop-invariant and leaves the loop.
__attribute__((noinline)) bool BaselineLoopback(const FWPS_INCOMING_VALUES0 *values)
{
    const FWP_VALUE0 &flags = values->incomingValue[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS].value;
    const FWP_VALUE0 &local = values->incomingValue[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS].value;
    const FWP_VALUE0 &remote = values->incomingValue[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS].value;
    if (flags.uint32 & FWP_CONDITION_FLAG_IS_LOOPBACK) {
        return true;
    }
    if (local.type == FWP_UINT32) {
        return remote.uint32 == local.uint32 || (remote.uint32 >> 24) == 127;
    }
    return std::memcmp(remote.byteArray16, local.byteArray16, 16) == 0 ||
           std::memcmp(remote.byteArray16, "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\1", 16) == 0;
}

const char16_t *BaselineFileName(const FWPS_INCOMING_VALUES0 *values)
{
    const FWP_BYTE_BLOB *blob = values->incomingValue[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_APP_ID].value.byteBlob;
    const char16_t *text = reinterpret_cast<const char16_t *>(blob->data);
    const char16_t *name = text;
    for (const char16_t *p = text; *p != u'\0'; ++p) {
        if (*p == u'\\' && p[1] != u'\0') {
            name = p + 1;
        }
    }
    return name;
}

void EndpointsAccessor(benchmark::State &state)
{
    ConnectRedirectValues values(state.range(0) != 0);
    for (auto _ : state) {
        SOCKADDR_STORAGE local{};
        SOCKADDR_STORAGE remote{};
        benchmark::DoNotOptimize(GetLocalEndpoint(&values.fixed, &local));
        benchmark::DoNotOptimize(GetRemoteEndpoint(&values.fixed, &remote));
        benchmark::DoNotOptimize(&local);
        benchmark::DoNotOptimize(&remote);
    }
}

void EndpointsBaseline(benchmark::State &state)
{
    ConnectRedirectValues values(state.range(0) != 0);
    for (auto _ : state) {
        SOCKADDR_STORAGE local{};
        SOCKADDR_STORAGE remote{};
        BaselineEndpoint(&values.fixed, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS,
                         FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_PORT, &local);
        BaselineEndpoint(&values.fixed, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS,
                         FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_PORT, &remote);
        benchmark::DoNotOptimize(&local);
        benchmark::DoNotOptimize(&remote);
    }
}

void LoopbackAccessor(benchmark::State &state)
{
    ConnectRedirectValues values(state.range(0) != 0);
    for (auto _ : state) {
        BOOLEAN isLoopback = FALSE;
        benchmark::DoNotOptimize(IsLoopbackConnection(&values.fixed, &isLoopback));
        benchmark::DoNotOptimize(isLoopback);
    }
}

void LoopbackBaseline(benchmark::State &state)
{
    ConnectRedirectValues values(state.range(0) != 0);
    for (auto _ : state) {
        const FWPS_INCOMING_VALUES0 *fixed = &values.fixed;
        benchmark::DoNotOptimize(fixed);
        benchmark::DoNotOptimize(BaselineLoopback(fixed));
    }
}

// The collection of a classify's trace record: indexes, flags, both file names, both ends.
void RecordAccessor(benchmark::State &state)
{
    ConnectRedirectValues values(state.range(0) != 0);
    for (auto _ : state) {
        UINT32 interfaceIndex = 0;
        UINT32 subInterfaceIndex = 0;
        UINT32 flags = 0;
        SOCKADDR_STORAGE local{};
        SOCKADDR_STORAGE remote{};
        GetInterfaceIndexes(&values.fixed, &interfaceIndex, &subInterfaceIndex);
        benchmark::DoNotOptimize(GetConditionFlags(&values.fixed, &flags));
        benchmark::DoNotOptimize(GetEffectiveAppFileName(&values.fixed));
        benchmark::DoNotOptimize(GetAppFileName(&values.fixed));
        benchmark::DoNotOptimize(GetLocalEndpoint(&values.fixed, &local));
        benchmark::DoNotOptimize(GetRemoteEndpoint(&values.fixed, &remote));
        benchmark::DoNotOptimize(&local);
        benchmark::DoNotOptimize(&remote);
    }
}

void RecordBaseline(benchmark::State &state)
{
    ConnectRedirectValues values(state.range(0) != 0);
    for (auto _ : state) {
        SOCKADDR_STORAGE local{};
        SOCKADDR_STORAGE remote{};
        benchmark::DoNotOptimize(values.fixed.incomingValue[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS].value.uint32);
        benchmark::DoNotOptimize(BaselineFileName(&values.fixed));
        benchmark::DoNotOptimize(BaselineFileName(&values.fixed));
        BaselineEndpoint(&values.fixed, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS,
                         FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_PORT, &local);
        BaselineEndpoint(&values.fixed, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS,
                         FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_PORT, &remote);
        benchmark::DoNotOptimize(&local);
        benchmark::DoNotOptimize(&remote);
    }
}

BENCHMARK(EndpointsAccessor)->Name("Endpoints/accessor")->Arg(0)->Arg(1);
BENCHMARK(EndpointsBaseline)->Name("Endpoints/baseline")->Arg(0)->Arg(1);
BENCHMARK(LoopbackAccessor)->Name("Loopback/accessor")->Arg(0)->Arg(1);
BENCHMARK(LoopbackBaseline)->Name("Loopback/baseline")->Arg(0)->Arg(1);
BENCHMARK(RecordAccessor)->Name("Record/accessor")->Arg(0)->Arg(1);
BENCHMARK(RecordBaseline)->Name("Record/baseline")->Arg(0)->Arg(1);

// "<op>/accessor/<n>" is measured against "<op>/baseline/<n>" (n: 0 = IPv4, 1 = IPv6).
std::string BaselineOf(const std::string &name)
{
    return qvrbench::ReplaceSegment(name, "/accessor/", "/baseline/");
}

}  // namespace

int main(int argc, char **argv)
{
    return qvrbench::RunWithRatios(argc, argv, BaselineOf);
}
