// Status callback registration, seen through the one sender in the link: PortRead's poll.
#include "engine/serial.h"
#include "engine/status.h"
#include "tests/fakes/fake_serial.h"

#include <gtest/gtest.h>

namespace {

int firstCalls = 0;
int secondCalls = 0;

int First(int, intptr_t) {
    ++firstCalls;
    return 0;
}

int Second(int, intptr_t) {
    ++secondCalls;
    return 0;
}

class StatusCallbackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ClosePort();
        FakeReset();
        firstCalls = 0;
        secondCalls = 0;
        ASSERT_TRUE(OpenPort("COM1"));
    }
    void TearDown() override { ClosePort(); }
};

TEST_F(StatusCallbackTest, LaterRegistrationReplacesTheEarlierOne) {
    SetStatusCallback(First);
    SetStatusCallback(Second);
    EXPECT_EQ(GetStatusCallback(), &Second);
    FakeQueueEmpty(2);
    uint8_t byte = 0;
    EXPECT_EQ(PortRead(&byte, 1, 2), 0);
    EXPECT_EQ(firstCalls, 0);
    EXPECT_EQ(secondCalls, 2); // one poll per read attempt
}

TEST_F(StatusCallbackTest, WithoutACallbackTheReadGoesOnUnpolled) {
    SetStatusCallback(nullptr);
    FakeQueueEmpty(1);
    FakeQueueRead({0x79});
    uint8_t byte = 0;
    EXPECT_EQ(PortRead(&byte, 1, 5), 1);
    EXPECT_EQ(byte, 0x79);
    EXPECT_EQ(FakeReads().size(), 2u);
}

} // namespace
