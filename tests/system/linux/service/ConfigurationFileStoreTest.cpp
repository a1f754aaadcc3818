#include "ConfigurationFileStore.h"
#include "PropertyListFile.h"
#include "StateDirectory.h"
#include "UnixFrameServer.h"
#include "NETunnelProviderProtocol.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace sentorix::linux_system {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

std::shared_ptr<ConfigurationFileStore> makeStore(const std::string& directory) {
    return std::make_shared<ConfigurationFileStore>(directory, nullptr);
}

std::shared_ptr<NETransparentProxyManager> configuration(ProviderConfiguration values, bool enabled = true) {
    auto manager = std::make_shared<NETransparentProxyManager>();
    auto tunnel = std::make_shared<NETunnelProviderProtocol>();
    tunnel->providerBundleIdentifier = "com.sentorix.desktop.extension";
    tunnel->serverAddress = "127.0.0.1";
    tunnel->providerConfiguration = std::move(values);
    manager->protocolConfiguration = tunnel;
    manager->localizedDescription = "Sentorix Protect";
    manager->isEnabled = enabled;
    return manager;
}

const ProviderConfiguration& valuesOf(const NETransparentProxyManager& manager) {
    return *dynamic_cast<const NETunnelProviderProtocol&>(*manager.protocolConfiguration).providerConfiguration;
}

TEST(ConfigurationFileStore, EveryValueTypeSurvivesARoundTrip) {
    TempDir directory;
    // The XML form keeps dates to the second, as the platform's own does.
    const auto date = PropertyListValue::Date(std::chrono::seconds(1796000000));
    const auto beforeAppleEpoch = PropertyListValue::Date(std::chrono::seconds(946684800));
    const ProviderConfiguration values{
        {"monitoringSocketPath", "/run/sentorix/monitor.sock"},
        {"text", "ünïcode & <markup> \"quotes\""},
        {"empty", ""},
        {"integer", std::int64_t{9007199254740993}},
        {"negative", std::int64_t{-42}},
        {"real", 0.1},
        {"flag", true},
        {"off", false},
        {"data", PropertyListValue::Data{0, 1, 2, 255, '\n'}},
        {"date", date},
        {"oldDate", beforeAppleEpoch},
        {"list", PropertyListValue::Array{1, "two", PropertyListValue::Array{}, ProviderConfiguration{}}},
        {"nested", ProviderConfiguration{{"inner", ProviderConfiguration{{"deep", 3.5}}}}},
    };
    auto saved = configuration(values);
    const auto written = makeStore(directory.path())->write(*saved);
    ASSERT_TRUE(written) << written.error().description();
    EXPECT_FALSE(saved->identifier.empty());

    const auto read = makeStore(directory.path())->readAll();
    ASSERT_TRUE(read.ok());
    const auto& loaded = *read;
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_TRUE(valuesOf(*loaded[0]) == values);
    EXPECT_EQ(loaded[0]->identifier, saved->identifier);
    EXPECT_TRUE(loaded[0]->isEnabled);
    EXPECT_EQ(loaded[0]->localizedDescription, "Sentorix Protect");
    EXPECT_EQ(loaded[0]->protocolConfiguration->serverAddress, "127.0.0.1");
}

TEST(ConfigurationFileStore, SavesInPlaceAppendsNewOnesAndReloads) {
    TempDir directory;
    auto store = makeStore(directory.path());
    auto first = configuration({{"n", 1}});
    auto second = configuration({{"n", 2}}, false);
    ASSERT_TRUE(store->write(*first));
    ASSERT_TRUE(store->write(*second));
    first->isEnabled = false;
    first->localizedDescription.reset();
    ASSERT_TRUE(store->write(*first));

    auto all = *store->readAll();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0]->identifier, first->identifier);
    EXPECT_FALSE(all[0]->isEnabled);
    EXPECT_EQ(all[0]->localizedDescription, std::nullopt);
    EXPECT_EQ(valuesOf(*all[1]), (ProviderConfiguration{{"n", 2}}));

    // Another process's save is what a reload sees.
    all[1]->isEnabled = true;
    ASSERT_TRUE(makeStore(directory.path())->write(*all[1]));
    ASSERT_TRUE(store->reload(*second));
    EXPECT_TRUE(second->isEnabled);

    NETransparentProxyManager unsaved;
    const auto stale = store->reload(unsaved);
    EXPECT_FALSE(stale);
    EXPECT_EQ(stale.error().code(), ConfigurationFileStore::ConfigurationStale);
}

TEST(ConfigurationFileStore, UnreadableFileIsReportedAndNeverOverwritten) {
    TempDir directory;
    const std::string path = StateDirectory::configurationsPath(directory.path());
    std::ofstream(path) << "this is not a property list";
    auto store = makeStore(directory.path());
    const auto read = store->readAll();
    EXPECT_TRUE(!read.ok() || read->empty());
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().code(), ConfigurationFileStore::ConfigurationReadWriteFailed);

    auto manager = configuration({});
    const auto written = store->write(*manager);
    EXPECT_FALSE(written);
    ASSERT_FALSE(written.ok());
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "this is not a property list");
}

TEST(ConfigurationFileStore, UnwritableDirectoryFailsTheSave) {
    TempDir directory;
    std::ofstream(directory.file("file")) << "x";
    auto manager = configuration({});
    const auto written = makeStore(directory.file("file") + "/state")->write(*manager);
    EXPECT_FALSE(written);
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().domain(), "NEVPNErrorDomain");
    EXPECT_EQ(manager->identifier, "") << "an unsaved configuration gets no identifier";
}

TEST(ConfigurationFileStore, CompletionsArriveFromTheStoreQueue) {
    TempDir directory;
    auto store = makeStore(directory.path());
    auto manager = configuration({{"n", 1}});
    std::promise<OptionalError> saved;
    store->save(manager, [&](OptionalError error) { saved.set_value(error); });
    ASSERT_EQ(saved.get_future().wait_for(5s), std::future_status::ready);

    std::promise<std::size_t> loaded;
    store->loadAll([&](NETransparentProxyManager::Managers managers, OptionalError) { loaded.set_value(managers.size()); });
    auto count = loaded.get_future();
    ASSERT_EQ(count.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(count.get(), 1u);
}

// A large configuration makes each save take long enough to be interrupted part-way.
ProviderConfiguration bulky(std::int64_t generation) {
    return {{"generation", generation}, {"padding", PropertyListValue::Data(4 << 20, 'x')}};
}

TEST(ConfigurationFileStore, KilledInTheMiddleOfSavesLeavesTheFileWhole) {
    TempDir directory;
    ASSERT_TRUE(makeStore(directory.path())->write(*configuration(bulky(0))));
    for (int round = 0; round < 5; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ConfigurationFileStore store(directory.path(), nullptr);
            auto manager = store.readAll()->front();
            for (std::int64_t generation = 1;; ++generation) {
                dynamic_cast<NETunnelProviderProtocol&>(*manager->protocolConfiguration).providerConfiguration =
                    bulky(generation);
                static_cast<void>(store.write(*manager));  // killed part-way, as often as not
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + 37 * round));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);

        const auto read = makeStore(directory.path())->readAll();
        ASSERT_TRUE(read.ok()) << "round " << round << ": " << read.error().description();
        const auto& all = *read;
        ASSERT_EQ(all.size(), 1u);
        const auto& values = valuesOf(*all[0]);
        EXPECT_EQ(values.at("padding").get<PropertyListValue::Data>()->size(), std::size_t{4 << 20});
    }
}

TEST(ConfigurationFileStore, TwoProcessesSavingAtOnceKeepBothConfigurations) {
    TempDir directory;
    constexpr int Saves = 60;
    pid_t children[2];
    for (int i = 0; i < 2; ++i) {
        children[i] = ::fork();
        ASSERT_GE(children[i], 0);
        if (children[i] == 0) {
            ConfigurationFileStore store(directory.path(), nullptr);
            auto manager = configuration({{"writer", i}, {"count", 0}});
            for (int count = 1; count <= Saves; ++count) {
                dynamic_cast<NETunnelProviderProtocol&>(*manager->protocolConfiguration).providerConfiguration =
                    ProviderConfiguration{{"writer", i}, {"count", count}};
                if (!store.write(*manager)) {
                    ::_exit(1);
                }
            }
            ::_exit(0);
        }
    }
    for (const pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto read = makeStore(directory.path())->readAll();
    ASSERT_TRUE(read.ok());
    const auto& all = *read;
    ASSERT_EQ(all.size(), 2u) << "a save lost the other process's configuration";
    for (const auto& manager : all) {
        EXPECT_EQ(valuesOf(*manager).at("count"), PropertyListValue(Saves));
    }
    std::size_t leftovers = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
        leftovers += entry.path().filename().string().find(".XXXXXX") != std::string::npos ||
                     entry.path().filename().string().rfind(".configurations", 0) == 0;
    }
    EXPECT_EQ(leftovers, 0u) << "no temporary file is left after clean saves";
}

}  // namespace
}  // namespace sentorix::linux_system
