#include <gtest/gtest.h>

#include "platform/multibyte.h"

int main(int argc, char** argv) {
    platform::InitMultibyteText();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
