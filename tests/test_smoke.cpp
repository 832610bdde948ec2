#include "agent_test.h"
using fake::AgentTest;
TEST_F(AgentTest, LogsOnAndOff) { EXPECT_EQ(Idle(), 1); }
