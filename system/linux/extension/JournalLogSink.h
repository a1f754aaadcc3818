#pragma once

#include "JournalSender.h"
#include "LogSink.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace sentorix::linux_system {

// The extension's lines in the journal, when systemd runs it: the identifier, the log handle's subsystem
// and category as fields, the level as the priority. A tunnel's routine lines, several per flow, go to
// the journal namespace the monitor's events keep, with its own size limit, so that a day of browsing
// cannot push other services' logs out of the system journal; lifecycle lines, and every error, stay in
// the system journal under the service's unit.
class JournalLogSink final : public LogSink {
public:
    static constexpr const char* Identifier = "com.sentorix.desktop.extension";
    // The category whose routine lines are per flow.
    static constexpr const char* FlowCategory = "SentorixProxy";
    static constexpr const char* FlowNamespace = "sentorix";

    JournalLogSink(std::string systemSocket = JournalSender::SystemSocket,
                   std::string flowSocket = JournalSender::namespaceSocket(FlowNamespace));

    void write(const LogEntry& entry) override;
    static const char* priorityOf(OSLogType type);
    // Lines the journal could not take at once: a flow never waits for its log.
    std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    const JournalSender system_;
    const JournalSender flows_;
    std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace sentorix::linux_system
