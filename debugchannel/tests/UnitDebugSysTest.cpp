#include <gtest/gtest.h>
#include "UnitDebugSys.h"
TEST(Placeholder, Builds) {}
