// The launch policy, with its file-local helpers reachable.
#include "../../launch/tovrinHostLaunch.cpp"
#include <gtest/gtest.h>
TEST(Smoke, Port) { EXPECT_EQ(8080, tovrin_parse_control_port("{\"port\": 8080}")); }
