#include <gtest/gtest.h>

#include "unit_support.h"

namespace {

class EntryPoints : public LibraryTest {
protected:
    // Calls every handle method and checks the invalid-handle answers; nothing may be raised.
    void ExpectInvalidAnswers(jint h) {
        jbyteArray buf = jni.NewByteArray(8);
        EXPECT_EQ(CALDRIX(PortClose)(env, nullptr, h), -1);
        EXPECT_EQ(CALDRIX(PortRead)(env, nullptr, h, buf, 8), -1);
        EXPECT_EQ(CALDRIX(PortWrite)(env, nullptr, h, buf, 8), -1);
        EXPECT_EQ(CALDRIX(PortSetParams)(env, nullptr, h, 9600, 8, 1, 0, 0), -1);
        EXPECT_EQ(CALDRIX(PortPurge)(env, nullptr, h, 1, 1), -1);
        EXPECT_EQ(CALDRIX(PortGetReadCount)(env, nullptr, h), -1);
        EXPECT_EQ(CALDRIX(PortIsCTS)(env, nullptr, h), 0xFF);
        EXPECT_EQ(CALDRIX(PortIsDSR)(env, nullptr, h), 0xFF);
        EXPECT_EQ(CALDRIX(PortIsRI)(env, nullptr, h), 0xFF);
        EXPECT_EQ(Java_tellspan_devices_tavrolink_caldrix_PortIsCD(env, nullptr, h), 0xFF);
        EXPECT_EQ(CALDRIX(PortIsDTR)(env, nullptr, h), 1);
        EXPECT_EQ(CALDRIX(PortIsRTS)(env, nullptr, h), 1);
        EXPECT_EQ(CALDRIX(PortSetRTS)(env, nullptr, h, 1), -1);
        EXPECT_EQ(CALDRIX(PortSetDTR)(env, nullptr, h, 1), -1);
        EXPECT_EQ(CALDRIX(PortSetHWFlowControl)(env, nullptr, h, 1), -1);
        EXPECT_FALSE(jni.HasPending()) << jni.PendingMessage();
        EXPECT_EQ(jni.Bytes(buf), std::vector<uint8_t>(8, 0));
    }
};

TEST_F(EntryPoints, InvalidHandlesGetFixedAnswers) {
    for (jint h : {0, -1, 10, 3, -2147483647 - 1}) {
        SCOPED_TRACE(h);
        ExpectInvalidAnswers(h);
    }
    EXPECT_TRUE(sim::Calls().empty()) << "no platform call for an invalid handle";
}

TEST_F(EntryPoints, ClosedHandleAnswersAsInvalid) {
    jint h = OpenSerial("COM1:");
    ASSERT_EQ(h, 1);
    EXPECT_EQ(Close(h), 0);
    ExpectInvalidAnswers(h);
}

TEST_F(EntryPoints, SuccessfulOpenReturnsTheSlotIndex) {
    sim::AddSerial("COM1:");
    sim::AddSerial("COM2:");
    EXPECT_EQ(Open("COM1:"), 1);
    EXPECT_EQ(Open("COM2:"), 2);
    EXPECT_FALSE(jni.HasPending());
}

TEST_F(EntryPoints, SerialDispatch) {
    sim::SerialDevice* dev = nullptr;
    jint h = OpenSerial("COM1:", &dev);
    dev->modemStatus = MS_CTS_ON | MS_RING_ON;
    EXPECT_EQ(CALDRIX(PortIsCTS)(env, nullptr, h), 1);
    EXPECT_EQ(CALDRIX(PortIsDSR)(env, nullptr, h), 0);
    EXPECT_EQ(CALDRIX(PortIsRI)(env, nullptr, h), 1);
    EXPECT_EQ(Java_tellspan_devices_tavrolink_caldrix_PortIsCD(env, nullptr, h), 0);
    dev->modemStatus = MS_DSR_ON | MS_RLSD_ON;
    EXPECT_EQ(CALDRIX(PortIsCTS)(env, nullptr, h), 0);
    EXPECT_EQ(CALDRIX(PortIsDSR)(env, nullptr, h), 1);
    EXPECT_EQ(Java_tellspan_devices_tavrolink_caldrix_PortIsCD(env, nullptr, h), 1);

    // Only a low byte of 1 means true.
    EXPECT_EQ(CALDRIX(PortSetRTS)(env, nullptr, h, 0), 0);
    EXPECT_FALSE(dev->rts);
    EXPECT_EQ(CALDRIX(PortSetRTS)(env, nullptr, h, 1), 0);
    EXPECT_TRUE(dev->rts);
    EXPECT_EQ(CALDRIX(PortSetRTS)(env, nullptr, h, 2), 0);
    EXPECT_FALSE(dev->rts);
    EXPECT_EQ(CALDRIX(PortSetDTR)(env, nullptr, h, 0), 0);
    EXPECT_FALSE(dev->dtr);
    EXPECT_EQ(CALDRIX(PortSetDTR)(env, nullptr, h, 1), 0);
    EXPECT_TRUE(dev->dtr);
    std::vector<uint64_t> codes;
    for (const sim::Call& c : sim::CallsOf("EscapeCommFunction")) codes.push_back(c.args.at(0));
    EXPECT_EQ(codes, (std::vector<uint64_t>{CLRRTS, SETRTS, CLRRTS, CLRDTR, SETDTR}));
    EXPECT_EQ(CALDRIX(PortIsDTR)(env, nullptr, h), 1);
    EXPECT_FALSE(jni.HasPending());
}

// A HID slot is made by hand here, with no device behind it: the answers that need no device
// come from the dispatch alone.
TEST_F(EntryPoints, HidPortsGetTheirFixedAnswers) {
    int32_t h = 0;
    ASSERT_EQ(ClaimPortSlot(env, jni.NewString("USBHID/x"), &h), 0);
    PublishPortSlot(h);
    EXPECT_EQ(CALDRIX(PortIsCTS)(env, nullptr, h), 1);
    EXPECT_EQ(CALDRIX(PortIsDSR)(env, nullptr, h), 0);
    EXPECT_EQ(CALDRIX(PortIsRI)(env, nullptr, h), 0);
    EXPECT_EQ(Java_tellspan_devices_tavrolink_caldrix_PortIsCD(env, nullptr, h), 0);
    EXPECT_EQ(CALDRIX(PortSetParams)(env, nullptr, h, 14400, 9, 3, 7, 0), 0);
    EXPECT_EQ(CALDRIX(PortSetRTS)(env, nullptr, h, 1), 0);
    EXPECT_EQ(CALDRIX(PortSetDTR)(env, nullptr, h, 0), 0);
    EXPECT_EQ(CALDRIX(PortSetHWFlowControl)(env, nullptr, h, 1), 0);
    EXPECT_FALSE(jni.HasPending());
    EXPECT_TRUE(sim::Calls().empty());

    EXPECT_EQ(Close(h), -1) << "a HID close answers -1";
    EXPECT_EQ(PortTable[h].kind, PORT_KIND_FREE) << "and frees the slot all the same";
}

TEST_F(EntryPoints, MissingExceptionClassIsNotFatal) {
    jni.HideIOExceptionClass(true);
    EXPECT_EQ(CALDRIX(PortRead)(env, nullptr, OpenSerial("COM1:"), nullptr, 1), -1);
    EXPECT_FALSE(jni.HasPending());
}

}  // namespace
