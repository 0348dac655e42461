#include "tools/modem-sim/ModemWire.h"

#include <gtest/gtest.h>

TEST(ModemWire, Placeholder) {
    EXPECT_EQ(modemsim::Control_Pack(modemsim::Control_Unpack(0x1234)), 0x1234);
}
