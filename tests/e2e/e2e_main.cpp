// Entry of the end-to-end tests, whose own Qt draws off screen.
#include "desktop.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const auto app = e2e::offscreenApplication(argc, argv);
    return RUN_ALL_TESTS();
}
