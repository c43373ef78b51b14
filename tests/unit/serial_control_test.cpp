#include <gtest/gtest.h>

#include "unit_support.h"

namespace {

class SerialControl : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        handle = OpenSerial("COM1:", &dev);
        ASSERT_EQ(handle, 1);
    }
    jint Params(jint baud, jint data, jint stop, jint parity) {
        return CALDRIX(PortSetParams)(env, nullptr, handle, baud, data, stop, parity, 12345);
    }
    jint handle = 0;
    sim::SerialDevice* dev = nullptr;
};

TEST_F(SerialControl, ParamsStoreAcceptedValues) {
    const uint32_t flagsBefore = DcbFlags(dev->dcb);
    EXPECT_EQ(Params(9600, 8, 1, 0), 0);
    EXPECT_EQ(dev->dcb.BaudRate, 9600u);
    EXPECT_EQ(dev->dcb.ByteSize, 8);
    EXPECT_EQ(dev->dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dev->dcb.Parity, NOPARITY);
    EXPECT_EQ(dev->dcb.fParity, 0u);
    EXPECT_EQ(DcbFlags(dev->dcb), flagsBefore) << "flow control and line settings untouched";

    for (jint baud : {1200, 2400, 4800, 19200, 38400, 56000, 57600, 115200}) {
        EXPECT_EQ(Params(baud, 7, 2, 1), 0) << baud;
        EXPECT_EQ(dev->dcb.BaudRate, static_cast<DWORD>(baud));
    }
    EXPECT_EQ(dev->dcb.ByteSize, 7);
    EXPECT_EQ(dev->dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dev->dcb.Parity, ODDPARITY);
    EXPECT_EQ(dev->dcb.fParity, 1u);
    EXPECT_EQ(Params(4800, 5, 1, 2), 0);
    EXPECT_EQ(dev->dcb.Parity, EVENPARITY);
    EXPECT_EQ(dev->dcb.ByteSize, 5);
    EXPECT_FALSE(jni.HasPending());
}

TEST_F(SerialControl, InvalidParamsChangeNothing) {
    struct Case {
        jint baud, data, stop, parity;
        const char* message;
    };
    const Case cases[] = {
        {14400, 8, 1, 0, "SetPortParams: Invalid baud rate"},
        {128000, 8, 1, 0, "SetPortParams: Invalid baud rate"},
        {300, 8, 1, 0, "SetPortParams: Invalid baud rate"},
        {14400, 8, 1, 3, "SetPortParams: Invalid baud rate"},
        {9600, 4, 1, 0, "SetPortParams: Invalid databits"},
        {9600, 9, 3, 0, "SetPortParams: Invalid databits"},
        {9600, 8, 0, 0, "SetPortParams: Invalid stopbits"},
        {9600, 8, 3, 0, "SetPortParams: Invalid stopbits"},
        {9600, 8, 1, 3, "SetPortParams: Invalid parity"},
        {9600, 8, 1, -1, "SetPortParams: Invalid parity"},
    };
    ASSERT_EQ(Params(19200, 7, 1, 0), 0);
    DCB before = dev->dcb;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        sim::ClearCalls();
        EXPECT_EQ(Params(c.baud, c.data, c.stop, c.parity), -1);
        EXPECT_EQ(Pending(), c.message);
        jni.ClearPending();
        EXPECT_TRUE(sim::CallsOf("SetCommState").empty());
        EXPECT_EQ(std::memcmp(&dev->dcb, &before, sizeof before), 0);
    }
}

TEST_F(SerialControl, StateCallFailures) {
    sim::Fail("GetCommState", 6);
    EXPECT_EQ(Params(9600, 8, 1, 0), -1);
    EXPECT_EQ(Pending(), "GetCommState error 6 on port");
    jni.ClearPending();
    sim::Fail("SetCommState", 87);
    EXPECT_EQ(Params(9600, 8, 1, 0), -1);
    EXPECT_EQ(Pending(), "SetCommState error 87 on port");
    jni.ClearPending();
    sim::Fail("GetCommState", 5);
    EXPECT_EQ(CALDRIX(PortSetHWFlowControl)(env, nullptr, handle, 1), -1);
    EXPECT_EQ(Pending(), "GetCommState error 5 on port");
    jni.ClearPending();
    sim::Fail("SetCommState", 31);
    EXPECT_EQ(CALDRIX(PortSetHWFlowControl)(env, nullptr, handle, 0), -1);
    EXPECT_EQ(Pending(), "SetCommState error 31 on port");
}

TEST_F(SerialControl, PurgeFlags) {
    const std::pair<std::pair<jboolean, jboolean>, uint64_t> cases[] = {
        {{1, 1}, 15}, {{1, 0}, 5}, {{0, 1}, 10}, {{0, 0}, 0}, {{2, 0xFF}, 0}, {{0x01, 3}, 5},
    };
    for (const auto& c : cases) {
        sim::ClearCalls();
        EXPECT_EQ(CALDRIX(PortPurge)(env, nullptr, handle, c.first.first, c.first.second), 0);
        ASSERT_EQ(sim::CallsOf("PurgeComm").size(), 1u);
        EXPECT_EQ(sim::CallsOf("PurgeComm")[0].args.at(0), c.second);
    }
    // "%0x04": the code in hex without leading zeros, then a literal 04.
    sim::Fail("PurgeComm", 87);
    EXPECT_EQ(CALDRIX(PortPurge)(env, nullptr, handle, 1, 1), -1);
    EXPECT_EQ(Pending(), "PurgeComm: GetLastError = 5704\n");
}

TEST_F(SerialControl, ReadCountReportsTheInputQueueAndClearsErrors) {
    dev->reads = {{1, 2, 3}, {4, 5}};
    dev->commErrors = CE_FRAME;
    EXPECT_EQ(CALDRIX(PortGetReadCount)(env, nullptr, handle), 5);
    EXPECT_EQ(dev->commErrors, 0u);
    sim::Fail("ClearCommError", 1167);
    EXPECT_EQ(CALDRIX(PortGetReadCount)(env, nullptr, handle), -1);
    EXPECT_EQ(Pending(), "ClearCommError 1167 on port");
}

TEST_F(SerialControl, HardwareFlowControlFlags) {
    uint32_t open = DcbFlags(dev->dcb);
    EXPECT_EQ(CALDRIX(PortSetHWFlowControl)(env, nullptr, handle, 1), 0);
    EXPECT_EQ(DcbFlags(dev->dcb), (open & ~(1u << 13)) | 0x1004u);
    EXPECT_EQ(dev->dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dev->dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));

    EXPECT_EQ(CALDRIX(PortSetHWFlowControl)(env, nullptr, handle, 0), 0);
    EXPECT_EQ(DcbFlags(dev->dcb), open & 0xFFFFCFFBu);
    EXPECT_EQ(dev->dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));

    EXPECT_EQ(CALDRIX(PortSetHWFlowControl)(env, nullptr, handle, 1), 0);
    EXPECT_EQ(CALDRIX(PortSetHWFlowControl)(env, nullptr, handle, 2), 0) << "2 is not true";
    EXPECT_EQ(dev->dcb.fOutxCtsFlow, 0u);
}

TEST_F(SerialControl, ModemAndEscapeFailures) {
    sim::Fail("GetCommModemStatus", 6);
    EXPECT_EQ(CALDRIX(PortIsCTS)(env, nullptr, handle), 0) << "the failed query's word is 0";
    EXPECT_EQ(Pending(), "GetCommModemStatus: GetLastError = 604\n");
    jni.ClearPending();

    sim::Fail("GetCommModemStatus", 0xC84);
    EXPECT_EQ(Java_tellspan_devices_tavrolink_caldrix_PortIsCD(env, nullptr, handle), 0);
    EXPECT_EQ(Pending(), "GetCommModemStatus: GetLastError = c8404\n");
    jni.ClearPending();

    sim::Fail("EscapeCommFunction", 50);
    EXPECT_EQ(CALDRIX(PortSetDTR)(env, nullptr, handle, 1), -1);
    EXPECT_EQ(Pending(), "EscapeCommFunction: GetLastError = 3204\n");
    jni.ClearPending();

    sim::Fail("EscapeCommFunction", 31);
    EXPECT_EQ(CALDRIX(PortSetRTS)(env, nullptr, handle, 0), -1);
    EXPECT_EQ(Pending(), "EscapeCommFunction: GetLastError = 1f04\n");
}

}  // namespace
