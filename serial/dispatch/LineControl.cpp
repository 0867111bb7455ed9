// Line settings, DTR and RTS levels, hardware and software flow control, modem and line status of
// the dispatcher: everything that goes through the device configuration record.
#include "serial/dispatch/ApdBaseDispatcher.h"

#include "runtime/Thread.h"

#include <algorithm>

namespace
{

// Old-style rate codes (0xFF10 + i) some callers still pass; 0 leaves the code as it is.
constexpr uint32_t kRateCodes[24] = {110, 300, 600, 1200,  2400, 4800, 9600, 14400,  19200, 0, 0, 38400,
                                     0,   0,   0,   56000, 0,    0,    0,    128000, 0,     0, 0, 256000};

uint32_t RateFromCode(uint32_t rate)
{
    if (rate == 0xFEFF)
        return 115200;
    if (rate >= 0xFF10 && rate < 0xFF10 + 24 && kRateCodes[rate - 0xFF10] != 0)
        return kRateCodes[rate - 0xFF10];
    return rate;
}

} // namespace

int32_t TApdBaseDispatcher::ChangeLineSettings(uint32_t baud, uint8_t parity, uint8_t dataBits,
                                               uint8_t stopBits)
{
    DWORD newBaud;
    BYTE newParity, newSize, newStop;
    {
        TLockGuard guard(DispatcherLock);
        GetDeviceState(DeviceConfig);
        if (stopBits == 0)
            stopBits = 1;
        else if (stopBits > 3)
            stopBits = 2;
        newBaud = baud != 0 ? baud : DeviceConfig.BaudRate;
        newParity = parity == 5 ? DeviceConfig.Parity : parity;
        newStop = DeviceConfig.StopBits;
        newSize = dataBits == 9 ? DeviceConfig.ByteSize : dataBits;
        if (newSize == 5)
            newStop = ONE5STOPBITS;
        if (stopBits != 3) {
            newStop = stopBits == 1 ? ONESTOPBIT : TWOSTOPBITS;
            if (newSize == 5)
                newStop = ONE5STOPBITS;
        }
        if (newBaud == DeviceConfig.BaudRate && newParity == DeviceConfig.Parity &&
            newSize == DeviceConfig.ByteSize && newStop == DeviceConfig.StopBits)
            return ecOK;
    }

    // Bytes still queued go out with the settings they were queued under.
    WaitOutputDrain();

    TLockGuard guard(DispatcherLock);
    GetDeviceState(DeviceConfig);
    DeviceConfig.BaudRate = newBaud;
    DeviceConfig.Parity = newParity;
    DeviceConfig.ByteSize = newSize;
    DeviceConfig.StopBits = newStop;
    return ApplyDeviceState(DeviceConfig);
}

void TApdBaseDispatcher::GetLineSettings(uint32_t& baud, uint16_t& parity, uint8_t& dataBits,
                                         uint8_t& stopBits)
{
    TLockGuard guard(DispatcherLock);
    GetDeviceState(DeviceConfig);
    baud = RateFromCode(DeviceConfig.BaudRate);
    parity = DeviceConfig.Parity;
    dataBits = DeviceConfig.ByteSize;
    stopBits = DeviceConfig.StopBits == ONESTOPBIT ? 1 : 2;
}

void TApdBaseDispatcher::WaitOutputDrain()
{
    for (int poll = 0; poll < 5000 && OutputCount() > 0; ++poll)
        Sleep(2);

    // The driver may still be shifting out the last characters: give it 18 character times.
    uint32_t bitsPerChar, rate;
    {
        TLockGuard guard(DispatcherLock);
        GetDeviceState(DeviceConfig);
        bitsPerChar = DeviceConfig.ByteSize + 2u + (DeviceConfig.Parity != 0 ? 1u : 0u) +
                      (DeviceConfig.StopBits != 0 ? 1u : 0u);
        rate = RateFromCode(LastBaud);
    }
    if (rate == 0)
        return;
    uint64_t wait100ns = static_cast<uint64_t>(10000000u / rate) * bitsPerChar * 18u;
    if (wait100ns < 10000)
        wait100ns *= 2;
    Sleep(static_cast<DWORD>((wait100ns + 9999) / 10000));
}

int32_t TApdBaseDispatcher::ApplyDeviceState(DCB& state)
{
    TLockGuard guard(DispatcherLock);
    if (!DtrAuto)
        state.fDtrControl = DtrState ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (!RtsAuto)
        state.fRtsControl = RtsState ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    int32_t result = SetDeviceState(state);
    LastBaud = state.BaudRate;
    SetDtrLevel(DtrState);
    if (!RS485Mode)
        SetRtsLevel(RtsState);
    return result;
}

int32_t TApdBaseDispatcher::SetDtrLevel(bool on)
{
    TLockGuard guard(DispatcherLock);
    if (DtrAuto)
        return 1;
    int32_t result = DeviceEscape(on ? SETDTR : CLRDTR);
    DtrState = on;
    return result < 0 ? ecBadArgument : result;
}

int32_t TApdBaseDispatcher::SetRtsLevel(bool on)
{
    TLockGuard guard(DispatcherLock);
    if (RtsAuto)
        return 1;
    int32_t result = DeviceEscape(on ? SETRTS : CLRRTS);
    RtsState = on;
    return result < 0 ? ecBadArgument : result;
}

int32_t TApdBaseDispatcher::HardwareFlowOn(uint16_t bufferFull, uint16_t bufferResume, uint8_t options)
{
    if (bufferFull < bufferResume || bufferFull > InSize)
        return ecBadArgument;
    TLockGuard guard(DispatcherLock);
    GetDeviceState(DeviceConfig);
    DeviceConfig.fOutxCtsFlow = 0;
    DeviceConfig.fOutxDsrFlow = 0;
    DeviceConfig.fDtrControl = DTR_CONTROL_DISABLE;
    DeviceConfig.fRtsControl = RTS_CONTROL_DISABLE;
    DtrAuto = false;
    RtsAuto = false;
    if (options & 0x01) {
        DeviceConfig.fDtrControl = DTR_CONTROL_HANDSHAKE;
        DtrAuto = true;
    } else if (DtrState) {
        DeviceConfig.fDtrControl = DTR_CONTROL_ENABLE;
    }
    if (options & 0x02) {
        DeviceConfig.fRtsControl = RTS_CONTROL_HANDSHAKE;
        RtsAuto = true;
    } else if (RtsState) {
        DeviceConfig.fRtsControl = RTS_CONTROL_ENABLE;
    }
    if (RS485Mode) {
        // The transmitter of a half-duplex line is switched by RTS, which the driver toggles
        // around each transmission.
        DeviceConfig.fRtsControl = RTS_CONTROL_TOGGLE;
        RtsAuto = true;
    }
    DeviceConfig.XoffLim = static_cast<WORD>(InSize - bufferFull);
    DeviceConfig.XonLim = bufferResume;
    if (options & 0x04)
        DeviceConfig.fOutxDsrFlow = 1;
    if (options & 0x08)
        DeviceConfig.fOutxCtsFlow = 1;
    const int32_t result = ApplyDeviceState(DeviceConfig);
    if (result == 0)
        RtsHandshakeWanted = RS485Mode && (options & 0x02);
    return result;
}

int32_t TApdBaseDispatcher::SoftwareFlowOn(uint16_t bufferFull, uint16_t bufferResume, uint8_t options)
{
    if (bufferFull < bufferResume || bufferFull > InSize)
        return ecBadArgument;
    TLockGuard guard(DispatcherLock);
    GetDeviceState(DeviceConfig);
    if (options & 0x02) {
        DeviceConfig.fInX = 1;
        DeviceConfig.XoffLim = static_cast<WORD>(InSize - bufferFull);
        DeviceConfig.XonLim = bufferResume;
        DeviceConfig.XonChar = 0x11;
        DeviceConfig.XoffChar = 0x13;
    }
    if (options & 0x01) {
        DeviceConfig.fOutX = 1;
        DeviceConfig.XonChar = 0x11;
        DeviceConfig.XoffChar = 0x13;
    }
    return ApplyDeviceState(DeviceConfig);
}

int32_t TApdBaseDispatcher::SoftwareFlowOff()
{
    TLockGuard guard(DispatcherLock);
    GetDeviceState(DeviceConfig);
    DeviceConfig.fOutX = 0;
    DeviceConfig.fInX = 0;
    return ApplyDeviceState(DeviceConfig);
}

int32_t TApdBaseDispatcher::SetFlowChars(uint8_t xonChar, uint8_t xoffChar)
{
    TLockGuard guard(DispatcherLock);
    GetDeviceState(DeviceConfig);
    DeviceConfig.XonChar = static_cast<char>(xonChar);
    DeviceConfig.XoffChar = static_cast<char>(xoffChar);
    return ApplyDeviceState(DeviceConfig);
}

void TApdBaseDispatcher::GetFlowOptions(uint8_t& hardware, uint8_t& software, uint8_t& xonChar,
                                        uint8_t& xoffChar)
{
    TLockGuard guard(DispatcherLock);
    GetDeviceState(DeviceConfig);
    hardware = 0;
    if (DeviceConfig.fDtrControl == DTR_CONTROL_HANDSHAKE)
        hardware |= 0x01;
    if (DeviceConfig.fRtsControl == RTS_CONTROL_HANDSHAKE)
        hardware |= 0x02;
    if (DeviceConfig.fOutxDsrFlow)
        hardware |= 0x04;
    if (DeviceConfig.fOutxCtsFlow)
        hardware |= 0x08;
    software = 0;
    if (DeviceConfig.fOutX)
        software |= 0x01;
    if (DeviceConfig.fInX)
        software |= 0x02;
    xonChar = static_cast<uint8_t>(DeviceConfig.XonChar);
    xoffChar = static_cast<uint8_t>(DeviceConfig.XoffChar);
}

uint8_t TApdBaseDispatcher::ReadModemStatus(uint8_t mask)
{
    TLockGuard guard(DispatcherLock);
    DWORD lines = 0;
    // A read that fails (the device has gone) says nothing about the lines: they keep their last
    // states, so that no change is made up from it.
    if (DeviceHandle == INVALID_HANDLE_VALUE || !GetCommModemStatus(DeviceHandle, &lines))
        lines = ModemStatusByte;
    auto status = static_cast<uint8_t>((lines & 0xF0) | (ModemStatusByte & 0x0F));
    if (RingSeen.exchange(false))
        status |= 0x04; // trailing edge of a ring the device-event thread saw
    ModemStatusByte = status & mask;
    return status;
}

void TApdBaseDispatcher::UpdateModemChanges()
{
    uint8_t before = ModemStatusByte;
    ReadModemStatus(0xFF);
    uint8_t after = ModemStatusByte;
    ModemStatusByte = after | static_cast<uint8_t>(((before ^ after) & 0xF0) >> 4);
}

void TApdBaseDispatcher::OptionsOn(uint32_t bits)
{
    TLockGuard guard(DispatcherLock);
    OptionWord |= bits;
}

void TApdBaseDispatcher::OptionsOff(uint32_t bits)
{
    TLockGuard guard(DispatcherLock);
    OptionWord &= ~bits;
}

void TApdBaseDispatcher::SetRS485Mode(bool on)
{
    // The transmitter of a half-duplex line is switched by RTS in the driver's toggle mode, as on
    // the Windows NT family: there is no controller base address to look up.
    TLockGuard guard(DispatcherLock);
    RS485Mode = on;
    if (TThread* thread = OutThread.load())
        thread->SetPriority((on ? tpHigher : tpNormal) + PriorityBoost);
    if (DeviceHandle == INVALID_HANDLE_VALUE)
        return;
    // The switch takes effect at once, not only at the next flow change: a line left without
    // toggling would send with its transmitter off.
    GetDeviceState(DeviceConfig);
    const bool toggling = DeviceConfig.fRtsControl == RTS_CONTROL_TOGGLE;
    if (on == toggling)
        return;
    const bool wasAuto = RtsAuto;
    bool handshake;
    if (on) {
        handshake = DeviceConfig.fRtsControl == RTS_CONTROL_HANDSHAKE;
        DeviceConfig.fRtsControl = RTS_CONTROL_TOGGLE;
        RtsAuto = true;
    } else {
        // RTS goes back to what the flow options say: the handshake when they ask for it (a flow
        // change in RS485 mode keeps the toggling), else its stored level.
        handshake = RtsHandshakeWanted;
        if (handshake)
            DeviceConfig.fRtsControl = RTS_CONTROL_HANDSHAKE;
        RtsAuto = handshake;
    }
    if (ApplyDeviceState(DeviceConfig) != 0) {
        RtsAuto = wasAuto; // the device kept its RTS control
        return;
    }
    RtsHandshakeWanted = on && handshake;
}

int32_t TApdBaseDispatcher::GetLineError()
{
    TLockGuard guard(DispatcherLock);
    uint32_t bits = LineErrorBits;
    int32_t kind = leNone;
    if (bits & CE_RXOVER)
        kind = leBuffer;
    else if (bits & CE_OVERRUN)
        kind = leOverrun;
    else if (bits & CE_RXPARITY)
        kind = leParity;
    else if (bits & CE_FRAME)
        kind = leFraming;
    else if (bits & CE_BREAK)
        kind = leBreak;
    if (kind != leNone)
        LineErrorBits.fetch_and(~static_cast<uint32_t>(CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME));
    return kind;
}

bool TApdBaseDispatcher::GetLineBreak()
{
    TLockGuard guard(DispatcherLock);
    return (LineErrorBits.fetch_and(~static_cast<uint32_t>(CE_BREAK)) & CE_BREAK) != 0;
}
