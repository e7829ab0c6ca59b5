#include <gtest/gtest.h>
int dummy_placeholder = 0;
TEST(Placeholder, Builds) { SUCCEED(); }
