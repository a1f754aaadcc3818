// The core's tests run on the test double alone: identifiers come from here, not from the system.

#include "NSUUID.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

int main(int argc, char** argv) {
    sentorix::NSUUID::setGenerator([] {
        thread_local std::mt19937_64 random{std::random_device{}()};
        const std::uint64_t high = (random() & ~0xF000ull) | 0x4000ull;              // version 4
        const std::uint64_t low = (random() & ~(3ull << 62)) | (2ull << 62);         // RFC 4122 variant
        char text[37];
        std::snprintf(text, sizeof text, "%08llX-%04llX-%04llX-%04llX-%012llX",
                      static_cast<unsigned long long>(high >> 32), static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                      static_cast<unsigned long long>(high & 0xFFFF), static_cast<unsigned long long>(low >> 48),
                      static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
        return std::string(text, 36);
    });
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
