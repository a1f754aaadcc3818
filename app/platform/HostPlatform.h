#pragma once

namespace sentorix {

// Puts the platform's configuration store and system-extension manager in place for the host
// application. Their callbacks reach it on the queues its requests and observers name.
void installHostPlatform();

}  // namespace sentorix
