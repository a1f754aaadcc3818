#include "NSUUID.h"

#include "InstalledFunction.h"

namespace sentorix {

namespace {
// Identifiers must never be made up: without a generator there is none.
// Never destroyed: flows on the pool's threads may still ask while statics are torn down.
InstalledFunction<std::string()>& installedGenerator() {
    static auto* const generator = new InstalledFunction<std::string()>("NSUUID: no generator installed\n");
    return *generator;
}
}  // namespace

void NSUUID::setGenerator(Generator generator) { installedGenerator().install(std::move(generator)); }

std::string NSUUID::UUIDString() { return installedGenerator().get()(); }

}  // namespace sentorix
