#pragma once

#include "NETransparentProxyManager.h"
#include "PropertyListValue.h"

namespace sentorix::linux_system {

// A configuration as a property-list dictionary: the form it is saved in and sent in.
class ConfigurationEntry {
public:
    static PropertyListValue::Dictionary encode(const NETransparentProxyManager& manager);
    // Fills `manager` from an entry; its connection object, if any, stays. Unknown or mistyped fields
    // are left out rather than refused: an entry written by a later version still loads.
    static void decode(const PropertyListValue::Dictionary& entry, NETransparentProxyManager& manager);
    static const std::string* text(const PropertyListValue::Dictionary& dictionary, const char* key);
};

}  // namespace sentorix::linux_system
