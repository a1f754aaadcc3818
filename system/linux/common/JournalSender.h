#pragma once

#include "Result.h"
#include "UniqueFd.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sentorix::linux_system {

// Writes entries to a journal over its native socket: one datagram per entry, each field KEY=value, or
// KEY, a length and the bytes where the value holds a newline. journald reads nothing else from us.
class JournalSender {
public:
    using Field = std::pair<std::string_view, std::string_view>;

    static constexpr const char* SystemSocket = "/run/systemd/journal/socket";
    // Where a journal namespace's daemon listens.
    static std::string namespaceSocket(std::string_view journalNamespace);
    // Whether standard error is the journal stream systemd gave the process (JOURNAL_STREAM names it):
    // a program whose output someone redirected keeps writing there.
    static bool standardErrorIsJournal();
    // A name journald accepts as a field: upper-case letters, digits and underscores, not starting with
    // an underscore or a digit, at most 64 bytes; any other byte becomes an underscore.
    static std::string fieldName(std::string_view prefix, std::string_view key);

    // `waits`: whether a send may wait (two seconds at most) for the journal to take the entry, or gives
    // up at once when the journal is behind, as nothing on a flow's path may wait.
    JournalSender(std::string socketPath, bool waits);

    // How long a waiting send waits for a journal that has stopped reading.
    static constexpr int WaitLimitSeconds = 2;

    Result<void> send(const std::vector<Field>& fields) const;
    const std::string& socketPath() const { return socketPath_; }

private:
    const std::string socketPath_;
    const bool waits_;
    UniqueFd socket_;
};

}  // namespace sentorix::linux_system
