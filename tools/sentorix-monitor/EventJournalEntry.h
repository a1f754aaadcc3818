#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One monitoring event as a journal entry: the JSON as the message, and the event's members as fields a
// person filters on (SENTORIX_SIGNAL, SENTORIX_CODE, SENTORIX_FLOW_ID, and each context and metric key as
// SENTORIX_<KEY>, so the context's app_id is SENTORIX_APP_ID). What is not an event, or not whole, is
// still recorded, with its bytes as the message and SENTORIX_MALFORMED=1.
class EventJournalEntry {
public:
    using Fields = std::vector<std::pair<std::string, std::string>>;

    static Fields fieldsOf(std::string_view json);
    // The journal's priority for an event's level.
    static const char* priorityOf(std::string_view level);

private:
    class Reader;
};
