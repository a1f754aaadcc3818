#include "NSUUID.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace sentorix {

namespace {
std::mutex generatorMutex;
NSUUID::Generator installedGenerator;
}  // namespace

void NSUUID::setGenerator(Generator generator) {
    std::lock_guard lock(generatorMutex);
    installedGenerator = std::move(generator);
}

std::string NSUUID::UUIDString() {
    Generator generator;
    {
        std::lock_guard lock(generatorMutex);
        generator = installedGenerator;
    }
    if (!generator) {
        // A wiring fault, not a runtime condition: identifiers must never be made up.
        std::fputs("NSUUID: no generator installed\n", stderr);
        std::abort();
    }
    return generator();
}

}  // namespace sentorix
