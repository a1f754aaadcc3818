#pragma once

#include <optional>
#include <string>

namespace sentorix {

struct NEFlowMetaData {
    // The originating application's identifier; absent when the platform could not tell.
    std::optional<std::string> sourceAppSigningIdentifier;
};

}  // namespace sentorix
