// Tests of the Linux ring and of the host run on the system's own identifiers and bundles.

#include "BundleFiles.h"
#include "NSBundle.h"
#include "NSUUID.h"
#include "UUIDGenerator.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    sentorix::NSUUID::setGenerator(&sentorix::linux_system::UUIDGenerator::random);
    sentorix::NSBundle::setLoader(sentorix::linux_system::BundleFiles::loader());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
