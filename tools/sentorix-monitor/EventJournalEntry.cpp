#include "EventJournalEntry.h"

#include "JournalSender.h"

#include <cstdint>
#include <optional>

namespace {

constexpr int MaxDepth = 8;

// Event members and the fields they become; each of context's and metrics' members is SENTORIX_<KEY>.
constexpr std::pair<std::string_view, std::string_view> TopLevelFields[] = {
    {"current_signal", "SENTORIX_SIGNAL"}, {"code", "SENTORIX_CODE"},
    {"flow_id", "SENTORIX_FLOW_ID"},       {"level", "SENTORIX_LEVEL"},
    {"message_id", "SENTORIX_MESSAGE_ID"}, {"message", "SENTORIX_EVENT_MESSAGE"},
    {"type", "SENTORIX_TYPE"},             {"component", "SENTORIX_COMPONENT"},
    {"timestamp", "SENTORIX_TIMESTAMP"},   {"logged_at", "SENTORIX_LOGGED_AT"},
};

void appendUTF8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xF0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3F));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

}  // namespace

// A reader of just enough JSON for an event: objects, strings, numbers, true, false and null; arrays
// are skipped. Any fault ends the reading.
class EventJournalEntry::Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool readEvent(Fields& fields) {
        return readObject(0, [&](const std::string& key, int depth) {
            if (key == "context" || key == "metrics") {
                if (peek() != '{') {
                    return skipValue(depth);
                }
                return readObject(depth, [&](const std::string& member, int inner) {
                    return readScalarInto(fields, sentorix::linux_system::JournalSender::fieldName("SENTORIX_", member),
                                          inner);
                });
            }
            for (const auto& [name, field] : TopLevelFields) {
                if (key == name) {
                    return readScalarInto(fields, std::string(field), depth);
                }
            }
            return skipValue(depth);
        }) && (skipSpace(), at_ == text_.size());
    }

private:
    template <typename Member>
    bool readObject(int depth, Member&& member) {
        if (depth > MaxDepth || !take('{')) {
            return false;
        }
        if (take('}')) {
            return true;
        }
        do {
            const auto key = readString();
            if (!key || !take(':') || !member(*key, depth + 1)) {
                return false;
            }
        } while (take(','));
        return take('}');
    }

    bool readScalarInto(Fields& fields, std::string field, int depth) {
        skipSpace();
        if (peek() == '"') {
            auto value = readString();
            if (!value) {
                return false;
            }
            fields.emplace_back(std::move(field), std::move(*value));
            return true;
        }
        if (peek() == '{' || peek() == '[') {
            return skipValue(depth);
        }
        const auto start = at_;
        if (!skipValue(depth)) {
            return false;
        }
        if (text_.substr(start, at_ - start) != "null") {
            fields.emplace_back(std::move(field), std::string(text_.substr(start, at_ - start)));
        }
        return true;
    }

    bool skipValue(int depth) {
        skipSpace();
        const char c = peek();
        if (c == '"') {
            return readString().has_value();
        }
        if (c == '{') {
            return readObject(depth, [this](const std::string&, int inner) { return skipValue(inner); });
        }
        if (c == '[') {
            if (depth > MaxDepth) {
                return false;
            }
            ++at_;
            if (take(']')) {
                return true;
            }
            do {
                if (!skipValue(depth + 1)) {
                    return false;
                }
            } while (take(','));
            return take(']');
        }
        const auto start = at_;
        while (at_ < text_.size() && std::string_view("+-.0123456789eEtruefalsn").find(text_[at_]) != std::string_view::npos) {
            ++at_;
        }
        return at_ > start;
    }

    std::optional<std::string> readString() {
        if (!take('"')) {
            return std::nullopt;
        }
        std::string out;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') {
                return out;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return std::nullopt;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) {
                return std::nullopt;
            }
            switch (const char e = text_[at_++]) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                auto code = hex4();
                if (!code) {
                    return std::nullopt;
                }
                if (*code >= 0xD800 && *code < 0xDC00 && text_.substr(at_, 2) == "\\u") {
                    at_ += 2;
                    const auto low = hex4();
                    if (!low || *low < 0xDC00 || *low >= 0xE000) {
                        return std::nullopt;
                    }
                    code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
                } else if (*code >= 0xD800 && *code < 0xE000) {
                    code = 0xFFFD;  // a lone surrogate is no character
                }
                appendUTF8(out, *code);
                break;
            }
            default: return std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::optional<std::uint32_t> hex4() {
        if (text_.size() - at_ < 4) {
            return std::nullopt;
        }
        std::uint32_t code = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = text_[at_++];
            code <<= 4;
            if (h >= '0' && h <= '9') {
                code |= std::uint32_t(h - '0');
            } else if (h >= 'a' && h <= 'f') {
                code |= std::uint32_t(h - 'a' + 10);
            } else if (h >= 'A' && h <= 'F') {
                code |= std::uint32_t(h - 'A' + 10);
            } else {
                return std::nullopt;
            }
        }
        return code;
    }

    void skipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
            ++at_;
        }
    }
    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    bool take(char c) {
        skipSpace();
        if (peek() != c) {
            return false;
        }
        ++at_;
        return true;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

EventJournalEntry::Fields EventJournalEntry::fieldsOf(std::string_view json) {
    Fields fields{{"MESSAGE", std::string(json)}, {"SYSLOG_IDENTIFIER", "sentorix-monitor"}};
    Fields members;
    std::string level;
    if (Reader(json).readEvent(members)) {
        for (const auto& [name, value] : members) {
            if (name == "SENTORIX_LEVEL") {
                level = value;
            }
        }
        fields.insert(fields.end(), std::make_move_iterator(members.begin()), std::make_move_iterator(members.end()));
    } else {
        fields.emplace_back("SENTORIX_MALFORMED", "1");
    }
    fields.emplace_back("PRIORITY", priorityOf(level));
    return fields;
}

const char* EventJournalEntry::priorityOf(std::string_view level) {
    if (level == "error" || level == "fault") {
        return "3";
    }
    if (level == "warning" || level == "warn") {
        return "4";
    }
    if (level == "info") {
        return "6";
    }
    if (level == "debug") {
        return "7";
    }
    return "5";
}
