// The per-flow decision path and the admission operations.

#include "FakeProviderServices.h"
#include "FakeTCPFlow.h"
#include "CapturingLogSink.h"
#include "NSUUID.h"
#include "OSLog.h"
#include "UUIDGenerator.h"
#include "provider/PacketTunnelProvider.h"
#include "provider/ProxyTunnelAdmissionController.h"

#include <benchmark/benchmark.h>

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
