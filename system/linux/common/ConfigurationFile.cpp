#include "ConfigurationFile.h"

#include "PropertyListFile.h"
#include "SecureDirectory.h"
#include "StateDirectory.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sentorix::linux_system {

std::optional<PropertyListValue::Array> ConfigurationFile::read(const std::string& directory, std::string& error) {
    bool missing = false;
    const auto state = SecureDirectory::open(directory, false, error, &missing);
    const auto bytes = state ? state->readFile(StateDirectory::ConfigurationsName, PropertyListFile::MaximumSize + 1,
                                               error, &missing)
                             : std::nullopt;
    if (missing) {
        return PropertyListValue::Array{};
    }
    if (!bytes) {
        return std::nullopt;
    }
    const std::string path = StateDirectory::configurationsPath(directory);
    OptionalError parseError;
    const auto value = PropertyListFile::parse(*bytes, path, parseError);
    if (!value || !value->get<PropertyListValue::Array>()) {
        error = parseError ? parseError->localizedDescription() : path + " does not hold a list of configurations";
        return std::nullopt;
    }
    return *value->get<PropertyListValue::Array>();
}

bool ConfigurationFile::replace(const SecureDirectory& state, const PropertyListValue::Array& entries,
                                std::string& error) {
    const std::string path = state.pathOf(StateDirectory::ConfigurationsName);
    OptionalError serializeError;
    const auto bytes = PropertyListFile::serialize(entries, path, serializeError);
    if (!bytes) {
        error = serializeError->localizedDescription();
        return false;
    }
    std::string temporary;
    UniqueFd file = state.createTemporary("." + std::string(StateDirectory::ConfigurationsName) + ".", temporary, error);
    if (!file.valid()) {
        return false;
    }
    std::size_t done = 0;
    while (done < bytes->size()) {
        const ssize_t written = ::write(file.get(), bytes->data() + done, bytes->size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    if (done < bytes->size() || ::fsync(file.get()) != 0) {
        error = "Cannot write " + path + ": " + std::strerror(errno);
        state.removeFile(temporary);
        return false;
    }
    file.reset();
    if (!state.rename(temporary, StateDirectory::ConfigurationsName, error)) {
        state.removeFile(temporary);
        return false;
    }
    state.sync();
    return true;
}

}  // namespace sentorix::linux_system
