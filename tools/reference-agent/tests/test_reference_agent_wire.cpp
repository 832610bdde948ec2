#include <gtest/gtest.h>
TEST(Placeholder, Wire) {}
