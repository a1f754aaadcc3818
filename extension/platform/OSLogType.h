#pragma once

namespace sentorix {

enum class OSLogType { Debug, Info, Default, Error };

const char* OSLogTypeName(OSLogType type);

}  // namespace sentorix
