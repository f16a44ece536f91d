#include <gtest/gtest.h>

#include "quorin.h"

TEST(OutOfMemory, Placeholder) { SUCCEED(); }
