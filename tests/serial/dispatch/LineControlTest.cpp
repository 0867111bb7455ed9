// Line settings, flow marks, DTR/RTS levels and line-error bookkeeping of the dispatcher over an
// in-memory device.
#include "FakeDispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace
{

/// The in-memory device with escapes that can fail and the modem byte within reach.
class TLineDispatcher : public TFakeDispatcher
{
public:
    int32_t EscapeResult = 0;
    int32_t DeviceEscape(DWORD function) override
    {
        TFakeDispatcher::DeviceEscape(function);
        return EscapeResult;
    }
    int32_t StateResult = 0;
    int32_t SetDeviceState(DCB& state) override
    {
        if (StateResult != 0) {
            ++SetStateCalls;
            return StateResult;
        }
        return TFakeDispatcher::SetDeviceState(state);
    }
    void SetModemByte(uint8_t status) { ModemStatusByte = status; }
    bool RtsAutomatic() const { return RtsAuto; }
};

class LineControl : public ::testing::Test
{
protected:
    void SetUp() override
    {
        d.State.BaudRate = 9600;
        d.State.ByteSize = 8;
        d.State.Parity = NOPARITY;
        d.State.StopBits = ONESTOPBIT;
        ASSERT_EQ(d.Open(9600), 0);
        d.SetStateCalls = 0;
    }
    TLineDispatcher d;
};

} // namespace

TEST_F(LineControl, SettingsThatChangeNothingLeaveTheDeviceAlone)
{
    EXPECT_EQ(d.ChangeLineSettings(0, 5, 9, 3), 0);
    EXPECT_EQ(d.ChangeLineSettings(9600, 0, 8, 1), 0);
    EXPECT_EQ(d.SetStateCalls, 0);
}

TEST_F(LineControl, StopBitsAndDataBitsBecomeTheDeviceCodes)
{
    struct Case {
        uint8_t dataBits, stopBits;
        BYTE size, stopCode;
    } cases[] = {
        {8, 2, 8, TWOSTOPBITS},  {8, 0, 8, ONESTOPBIT},   {7, 7, 7, TWOSTOPBITS},
        {5, 1, 5, ONE5STOPBITS}, {5, 2, 5, ONE5STOPBITS}, {5, 3, 5, ONE5STOPBITS},
    };
    for (const Case& c : cases) {
        d.State.ByteSize = 8;
        d.State.StopBits = ONESTOPBIT;
        EXPECT_EQ(d.ChangeLineSettings(19200, 2, c.dataBits, c.stopBits), 0);
        EXPECT_EQ(d.State.BaudRate, 19200u);
        EXPECT_EQ(d.State.Parity, EVENPARITY);
        EXPECT_EQ(d.State.ByteSize, c.size) << int(c.dataBits) << "/" << int(c.stopBits);
        EXPECT_EQ(d.State.StopBits, c.stopCode) << int(c.dataBits) << "/" << int(c.stopBits);
    }
}

TEST_F(LineControl, FlowMarksAreCheckedAndBecomeDriverThresholds)
{
    EXPECT_EQ(d.HardwareFlowOn(3686, 409, 0), 0);
    EXPECT_EQ(d.XoffLimit(), 410);
    EXPECT_EQ(d.XonLimit(), 409);
    EXPECT_EQ(d.State.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(d.State.fRtsControl, RTS_CONTROL_ENABLE);

    int calls = d.SetStateCalls;
    EXPECT_EQ(d.HardwareFlowOn(409, 3686, 0), TApdBaseDispatcher::ecBadArgument);
    EXPECT_EQ(d.HardwareFlowOn(5000, 409, 0), TApdBaseDispatcher::ecBadArgument);
    EXPECT_EQ(d.SoftwareFlowOn(409, 3686, 3), TApdBaseDispatcher::ecBadArgument);
    EXPECT_EQ(d.SetStateCalls, calls);
    EXPECT_EQ(d.XoffLimit(), 410);
}

TEST_F(LineControl, HandshakeLinesIgnoreDirectLevels)
{
    ASSERT_EQ(d.HardwareFlowOn(3686, 409, 0x01), 0);
    EXPECT_EQ(d.State.fDtrControl, DTR_CONTROL_HANDSHAKE);
    d.Escapes.clear();
    EXPECT_EQ(d.SetDtrLevel(false), 1);
    EXPECT_TRUE(d.Escapes.empty());
    EXPECT_EQ(d.SetRtsLevel(false), 0);
    EXPECT_EQ(d.Escapes, std::vector<DWORD>{CLRRTS});
}

TEST_F(LineControl, SoftwareFlowSetsTheCharactersThenFlowCharsWin)
{
    ASSERT_EQ(d.SoftwareFlowOn(3686, 409, 0x03), 0);
    EXPECT_TRUE(d.State.fInX);
    EXPECT_TRUE(d.State.fOutX);
    EXPECT_EQ(d.State.XonChar, 0x11);
    ASSERT_EQ(d.SetFlowChars('A', 'B'), 0);
    EXPECT_EQ(d.State.XonChar, 'A');
    EXPECT_EQ(d.State.XoffChar, 'B');
    ASSERT_EQ(d.SoftwareFlowOff(), 0);
    EXPECT_FALSE(d.State.fInX);
    EXPECT_FALSE(d.State.fOutX);
}

TEST_F(LineControl, LineErrorsComeOutOneKindAtATimeAndBreakSeparately)
{
    d.SetErrorBits(0x06);
    EXPECT_EQ(d.GetLineError(), TApdBaseDispatcher::leOverrun);
    EXPECT_EQ(d.GetLineErrorBits(), 0u);
    EXPECT_EQ(d.GetLineError(), TApdBaseDispatcher::leNone);

    d.SetErrorBits(0x10);
    EXPECT_EQ(d.GetLineError(), TApdBaseDispatcher::leBreak);
    EXPECT_EQ(d.GetLineErrorBits(), 0x10u);
    EXPECT_TRUE(d.GetLineBreak());
    EXPECT_FALSE(d.GetLineBreak());

    d.SetErrorBits(0x18);
    EXPECT_EQ(d.GetLineError(), TApdBaseDispatcher::leFraming);
    EXPECT_EQ(d.GetLineErrorBits(), 0x10u);
}

TEST_F(LineControl, OptionWordBits)
{
    d.OptionsOn(4 | 1);
    d.OptionsOff(1);
    EXPECT_EQ(d.GetOptionWord(), 4u);
}

TEST_F(LineControl, AFailedEscapeIsABadArgumentButTheLevelIsStoredAllTheSame)
{
    d.EscapeResult = -1;
    EXPECT_EQ(d.SetDtrLevel(false), TApdBaseDispatcher::ecBadArgument);
    EXPECT_EQ(d.SetRtsLevel(false), TApdBaseDispatcher::ecBadArgument);
    d.EscapeResult = 0;
    // The next configuration change writes the stored levels into the record.
    ASSERT_EQ(d.SetFlowChars(0x11, 0x13), 0);
    EXPECT_EQ(d.State.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(d.State.fRtsControl, RTS_CONTROL_DISABLE);
    EXPECT_EQ(d.SetDtrLevel(true), 0);
    EXPECT_EQ(d.Escapes.back(), static_cast<DWORD>(SETDTR));
}

TEST_F(LineControl, SettingsReadBackWithOldRateCodesAndStopCodes)
{
    struct Case {
        DWORD rate;
        BYTE stopCode;
        uint32_t baud;
        uint8_t stopBits;
    } cases[] = {
        {19200, ONESTOPBIT, 19200, 1},
        {0xFF18, TWOSTOPBITS, 19200, 2}, // an old-style rate code
        {0xFEFF, ONE5STOPBITS, 115200, 2},
        {0xFF19, ONESTOPBIT, 0xFF19, 1}, // a code with no rate stays
    };
    for (const Case& c : cases) {
        d.State.BaudRate = c.rate;
        d.State.StopBits = c.stopCode;
        d.State.Parity = MARKPARITY;
        d.State.ByteSize = 7;
        uint32_t baud = 0;
        uint16_t parity = 0;
        uint8_t dataBits = 0, stopBits = 0;
        d.GetLineSettings(baud, parity, dataBits, stopBits);
        EXPECT_EQ(baud, c.baud) << std::hex << c.rate;
        EXPECT_EQ(parity, MARKPARITY);
        EXPECT_EQ(dataBits, 7);
        EXPECT_EQ(stopBits, c.stopBits) << int(c.stopCode);
    }
}

TEST_F(LineControl, RS485ModeTogglesRtsAtOnceAndGivesItBackAfterwards)
{
    d.SetRS485Mode(true);
    EXPECT_TRUE(d.IsRS485Mode());
    EXPECT_EQ(d.State.fRtsControl, RTS_CONTROL_TOGGLE);
    d.Escapes.clear();
    EXPECT_EQ(d.SetRtsLevel(true), 1) << "the driver switches RTS";
    EXPECT_TRUE(d.Escapes.empty());
    // A flow change keeps the toggling and never sets RTS itself.
    ASSERT_EQ(d.HardwareFlowOn(3686, 409, 0), 0);
    EXPECT_EQ(d.State.fRtsControl, RTS_CONTROL_TOGGLE);
    EXPECT_EQ(std::count(d.Escapes.begin(), d.Escapes.end(), static_cast<DWORD>(SETRTS)) +
                  std::count(d.Escapes.begin(), d.Escapes.end(), static_cast<DWORD>(CLRRTS)),
              0);

    int calls = d.SetStateCalls;
    d.SetRS485Mode(true);
    EXPECT_EQ(d.SetStateCalls, calls) << "no change, no configuration";

    d.SetRS485Mode(false);
    EXPECT_FALSE(d.RtsAutomatic());
    EXPECT_EQ(d.State.fRtsControl, RTS_CONTROL_ENABLE) << "RTS returns to its stored level (on)";
    EXPECT_EQ(d.Escapes.back(), static_cast<DWORD>(SETRTS));
    EXPECT_EQ(d.SetRtsLevel(false), 0);
}

TEST_F(LineControl, LeavingRS485ModeGivesRtsBackToTheHandshakeTheFlowOptionsAskFor)
{
    // Asked for while RTS switches the transmitter: the toggling stays until the mode ends.
    d.SetRS485Mode(true);
    ASSERT_EQ(d.HardwareFlowOn(3686, 409, 0x02), 0);
    EXPECT_EQ(d.State.fRtsControl, RTS_CONTROL_TOGGLE);
    d.SetRS485Mode(false);
    EXPECT_EQ(d.State.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_TRUE(d.RtsAutomatic());
    EXPECT_EQ(d.SetRtsLevel(false), 1) << "RTS belongs to the handshake";

    // In force before the mode: the same afterwards.
    d.SetRS485Mode(true);
    EXPECT_EQ(d.State.fRtsControl, RTS_CONTROL_TOGGLE);
    d.SetRS485Mode(false);
    EXPECT_EQ(d.State.fRtsControl, RTS_CONTROL_HANDSHAKE);

    // Given up in the mode: RTS returns to its stored level.
    d.SetRS485Mode(true);
    ASSERT_EQ(d.HardwareFlowOn(3686, 409, 0), 0);
    d.SetRS485Mode(false);
    EXPECT_EQ(d.State.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_FALSE(d.RtsAutomatic());
}

TEST_F(LineControl, ARS485SwitchTheDeviceRefusesLeavesRtsAsItWas)
{
    d.StateResult = -31;
    d.SetRS485Mode(true);
    EXPECT_FALSE(d.RtsAutomatic()) << "the device still drives RTS at its level";
    EXPECT_EQ(d.SetRtsLevel(true), 0);

    d.StateResult = 0;
    d.SetRS485Mode(true);
    ASSERT_TRUE(d.RtsAutomatic());
    d.StateResult = -31;
    d.SetRS485Mode(false);
    EXPECT_TRUE(d.RtsAutomatic()) << "the device still toggles RTS";
    EXPECT_EQ(d.SetRtsLevel(true), 1);
}

TEST_F(LineControl, AModemReadThatFailsMakesUpNoChange)
{
    // The in-memory device has no modem lines to read: the lines keep what they showed.
    d.SetModemByte(0x90);
    d.UpdateModemChanges();
    EXPECT_EQ(d.GetModemStatusByte(), 0x90);
    EXPECT_EQ(d.ReadModemStatus(0xF0), 0x90);
}
