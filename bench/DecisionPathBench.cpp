// The per-flow decision path and the admission operations.

#include "FakeProviderServices.h"
#include "FakeTCPFlow.h"
#include "CapturingLogSink.h"
#include "NSUUID.h"
#include "OSLog.h"
#include "UUIDGenerator.h"
#include "provider/ClientHelloServerName.h"
#include "provider/HTTPHostHeader.h"
#include "provider/PacketTunnelProvider.h"
#include "provider/ProxyTunnelAdmissionController.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace sentorix {
namespace {

std::shared_ptr<PacketTunnelProvider> openProvider(PacketTunnelProvider::Clock clock) {
    auto provider =
        std::make_shared<PacketTunnelProvider>(std::make_shared<testing::FakeProviderServices>(), std::move(clock));
    provider->safetyGate()->setProxyUnavailable(false);
    return provider;
}

// A bypassed application's flow: the cached answer is returned without touching the flow.
void BM_HandleNewFlow_CacheHit(benchmark::State& state) {
    auto provider = openProvider(PacketTunnelProvider::systemClock);
    const auto flow = testing::FakeTCPFlow::to("www.example.com", "443", "com.apple.trustd");
    provider->handleNewFlow(flow);
    provider->bypassCacheCount();  // the store has landed
    for (auto _ : state) {
        benchmark::DoNotOptimize(provider->handleNewFlow(flow));
    }
}
BENCHMARK(BM_HandleNewFlow_CacheHit);

// Every flow a new host: list classification plus the queued store. The clock moves 31 s per flow so
// that pruning keeps the cache small, as it would under a steady stream of new hosts.
void BM_HandleNewFlow_CacheMiss(benchmark::State& state) {
    double now = 1e9;
    auto provider = openProvider([&now] { return now += 31.0; });
    std::vector<std::shared_ptr<testing::FakeTCPFlow>> flows;
    for (int i = 0; i < 4096; ++i) {
        flows.push_back(testing::FakeTCPFlow::to("host" + std::to_string(i) + ".example.org", "443",
                                                 "com.apple.trustd"));
    }
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(provider->handleNewFlow(flows[i++ & 4095]));
    }
    provider->bypassCacheCount();  // after the timed loop: let the queued stores land
}
BENCHMARK(BM_HandleNewFlow_CacheMiss);

void BM_Admission_AcquireRelease(benchmark::State& state) {
    ProxyTunnelAdmissionController controller(48);
    for (int i = 0; i < 24; ++i) {
        controller.tryAcquireHandshakeSlot("PENDING-" + std::to_string(i));
    }
    const std::string id = "6F9619FF-8B86-4011-B42D-00C04FC964FF";
    for (auto _ : state) {
        benchmark::DoNotOptimize(controller.tryAcquireHandshakeSlot(id));
        controller.releaseHandshakeSlot(id);
    }
}
BENCHMARK(BM_Admission_AcquireRelease);

void BM_Admission_FullLifecycle(benchmark::State& state) {
    ProxyTunnelAdmissionController controller(48);
    const std::string id = "6F9619FF-8B86-4011-B42D-00C04FC964FF";
    for (auto _ : state) {
        controller.tryAcquireHandshakeSlot(id);
        controller.markHandshakeEstablished(id);
        controller.releaseHandshakeSlot(id);
    }
}
BENCHMARK(BM_Admission_FullLifecycle);

void BM_Admission_RefusedWhenFull(benchmark::State& state) {
    ProxyTunnelAdmissionController controller(48);
    for (int i = 0; i < 48; ++i) {
        controller.tryAcquireHandshakeSlot("PENDING-" + std::to_string(i));
    }
    const std::string id = "6F9619FF-8B86-4011-B42D-00C04FC964FF";
    for (auto _ : state) {
        benchmark::DoNotOptimize(controller.tryAcquireHandshakeSlot(id));
    }
}
BENCHMARK(BM_Admission_RefusedWhenFull);

// A browser-shaped ClientHello of 512 bytes in one record: GREASE, SNI, ALPN, an X25519 key share,
// padding up to the size browsers round to.
std::vector<std::uint8_t> typicalClientHello() {
    using Bytes = std::vector<std::uint8_t>;
    const auto withLength = [](Bytes body, int width) {
        Bytes out;
        for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
            out.push_back(static_cast<std::uint8_t>(body.size() >> shift));
        }
        out.insert(out.end(), body.begin(), body.end());
        return out;
    };
    const auto extension = [&](std::uint16_t type, Bytes body) {
        Bytes out = {static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type)};
        const Bytes framed = withLength(std::move(body), 2);
        out.insert(out.end(), framed.begin(), framed.end());
        return out;
    };
    const std::string_view name = "www.example.com";
    Bytes serverName = {0};
    const Bytes hostName = withLength(Bytes(name.begin(), name.end()), 2);
    serverName.insert(serverName.end(), hostName.begin(), hostName.end());
    Bytes keyShare = {0x00, 0x1D, 0x00, 0x20};
    keyShare.resize(36, 0x5A);
    std::vector<Bytes> extensions = {
        extension(0x1A1A, {}),
        extension(0, withLength(serverName, 2)),
        extension(23, {}),
        extension(0xFF01, {0}),
        extension(10, withLength({0x2A, 0x2A, 0x00, 0x1D, 0x00, 0x17, 0x00, 0x18}, 2)),
        extension(11, withLength({0}, 1)),
        extension(35, {}),
        extension(16, withLength({2, 'h', '2', 8, 'h', 't', 't', 'p', '/', '1', '.', '1'}, 2)),
        extension(5, {1, 0, 0, 0, 0}),
        extension(13, withLength({4, 3, 8, 4, 4, 1, 5, 3, 8, 5, 5, 1, 8, 6, 6, 1}, 2)),
        extension(18, {}),
        extension(51, withLength(keyShare, 2)),
        extension(45, withLength({1}, 1)),
        extension(43, withLength({0x3A, 0x3A, 3, 4, 3, 3}, 1)),
        extension(27, withLength({0, 2}, 1)),
        extension(0x4A4A, {0}),
    };
    Bytes body = {3, 3};
    body.resize(2 + 32, 0x11);
    const Bytes sessionId = withLength(Bytes(32, 0x22), 1);
    body.insert(body.end(), sessionId.begin(), sessionId.end());
    const Bytes suites = withLength({0x6A, 0x6A, 0x13, 0x01, 0x13, 0x02, 0x13, 0x03, 0xC0, 0x2B, 0xC0, 0x2F, 0xC0, 0x2C,
                                     0xC0, 0x30, 0xCC, 0xA9, 0xCC, 0xA8, 0xC0, 0x13, 0xC0, 0x14, 0x00, 0x9C, 0x00, 0x9D,
                                     0x00, 0x2F, 0x00, 0x35},
                                    2);
    body.insert(body.end(), suites.begin(), suites.end());
    body.insert(body.end(), {1, 0});
    Bytes all;
    for (const Bytes& one : extensions) {
        all.insert(all.end(), one.begin(), one.end());
    }
    // Headers: record, handshake, extensions' length, padding's own.
    const Bytes padding = extension(21, Bytes(512 - 5 - 4 - body.size() - 2 - all.size() - 4, 0));
    all.insert(all.end(), padding.begin(), padding.end());
    const Bytes framedExtensions = withLength(all, 2);
    body.insert(body.end(), framedExtensions.begin(), framedExtensions.end());
    Bytes message = {1};
    const Bytes framedBody = withLength(body, 3);
    message.insert(message.end(), framedBody.begin(), framedBody.end());
    Bytes record = {22, 3, 1};
    const Bytes framedMessage = withLength(message, 2);
    record.insert(record.end(), framedMessage.begin(), framedMessage.end());
    return record;
}

// The server name of the hello a TLS flow opens with, as the flow's first peek would see it.
void BM_ClientHelloServerName_Parse(benchmark::State& state) {
    const std::vector<std::uint8_t> hello = typicalClientHello();
    if (ClientHelloServerName::parse(hello).hostname != "www.example.com") {
        throw std::logic_error("the benchmark's ClientHello does not parse");
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(ClientHelloServerName::parse(hello));
    }
    state.counters["bytes"] = double(hello.size());
}
BENCHMARK(BM_ClientHelloServerName_Parse);

// The Host of a browser's request head.
void BM_HTTPHostHeader_Parse(benchmark::State& state) {
    const std::string_view head =
        "GET /articles/2024/index.html?ref=home HTTP/1.1\r\n"
        "Host: www.example.com\r\n"
        "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0\r\n"
        "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
        "Accept-Language: en-US,en;q=0.5\r\n"
        "Accept-Encoding: gzip, deflate\r\n"
        "Connection: keep-alive\r\n"
        "Cookie: session=4f2a9c1e7b3d; theme=dark\r\n"
        "Upgrade-Insecure-Requests: 1\r\n"
        "\r\n";
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(head.data()), head.size());
    if (HTTPHostHeader::parse(bytes).hostname != "www.example.com") {
        throw std::logic_error("the benchmark's request head does not parse");
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(HTTPHostHeader::parse(bytes));
    }
    state.counters["bytes"] = double(head.size());
}
BENCHMARK(BM_HTTPHostHeader_Parse);

// The decision of BM_HandleNewFlow_CacheMiss when the flow's first bytes name its host: the provider reads
// the ClientHello, and the name (new each time) is classified and cached instead of the address.
void BM_HandleNewFlow_PeekedNameCacheMiss(benchmark::State& state) {
    double now = 1e9;
    auto provider = openProvider([&now] { return now += 31.0; });
    const std::vector<std::uint8_t> hello = typicalClientHello();
    std::vector<std::shared_ptr<testing::FakeTCPFlow>> flows;
    for (int i = 0; i < 4096; ++i) {
        flows.push_back(testing::FakeTCPFlow::to("192.0.2." + std::to_string(i % 250), "443", "com.apple.trustd"));
        flows.back()->setRemoteHostname("host" + std::to_string(i) + ".example.org");
    }
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(provider->hostnameInFirstBytes(hello));
        benchmark::DoNotOptimize(provider->handleNewFlow(flows[i++ & 4095]));
    }
    provider->bypassCacheCount();
}
BENCHMARK(BM_HandleNewFlow_PeekedNameCacheMiss);

}  // namespace
}  // namespace sentorix

int main(int argc, char** argv) {
    // Keep provider log lines out of the report.
    sentorix::OSLog::setSink(std::make_shared<sentorix::CapturingLogSink>());
    sentorix::NSUUID::setGenerator(&sentorix::linux_system::UUIDGenerator::random);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
