// Result codes become exceptions here, in one place, so that every port operation reports a failure
// the same way and with the same text.
#include "serial/port/ApdExceptions.h"

#include "serial/log/MessageTable.h"

namespace
{

constexpr int32_t kFirstSystemError = -2;  // operating-system and file errors run from here ...
constexpr int32_t kLastSystemError = -162; // ... to here
constexpr int32_t kOutOfMemory = -8;
constexpr const char* kUnknownError = "Velt exception";

template <class TException> [[noreturn]] void Raise(int32_t code) { throw TException(code); }

} // namespace

EAPDException::EAPDException(int32_t code) : Exception(MessageForCode(code)), FResultCode(code) {}

EAPDException::EAPDException(const std::string& text) : Exception(text), FResultCode(0) {}

int32_t RaiseOnError(TComponent* component, int32_t code)
{
    // While stored settings are applied nothing is open yet, and a failure would abort the load.
    if (code >= 0 || (component != nullptr && component->IsLoading()))
        return code;

    switch (code) {
    case -1002:
        Raise<EBadArgument>(code);
    case -1003:
        Raise<EGotQuitMsg>(code);
    case -1004:
        Raise<EBufferTooBig>(code);
    case -1005:
        Raise<EPortNotAssigned>(code);
    case -1006:
        Raise<EInternal>(code);
    case -1007:
        Raise<EModemNotAssigned>(code);
    case -1008:
        Raise<EPhonebookNotAssigned>(code);
    case -1009:
        Raise<ECannotUseWithWinSock>(code);
    case -2001:
        Raise<EBadId>(code);
    case -2002:
        Raise<EBaudRate>(code);
    case -2003:
        Raise<EByteSize>(code);
    case -2004:
        Raise<EDefault>(code);
    case -2005:
        Raise<EHardware>(code);
    case -2006:
        Raise<EMemory>(code);
    case -2007:
        Raise<ECommNotOpen>(code);
    case -2008:
        Raise<EAlreadyOpen>(code);
    case -2009:
        Raise<ENoHandles>(code);
    case -2010:
        Raise<ENoTimers>(code);
    case -2011:
        Raise<ENoPortSelected>(code);
    case -2012:
        Raise<ENotOpenedByTapi>(code);
    case -3001:
        Raise<ENullApi>(code);
    case -3003:
        Raise<ERegisterHandlerFailed>(code);
    case -3004:
        Raise<EPutBlockFail>(code);
    case -3005:
        Raise<EGetBlockFail>(code);
    case -3006:
        Raise<EOutputBufferTooSmall>(code);
    case -3007:
        Raise<EBufferIsEmpty>(code);
    case -3008:
        Raise<ETracingNotEnabled>(code);
    case -3009:
        Raise<ELoggingNotEnabled>(code);
    case -3010:
        Raise<EBaseAddressNotSet>(code);
    case -5001:
        Raise<ENoMoreTriggers>(code);
    case -5002:
        Raise<ETriggerTooLong>(code);
    case -5003:
        Raise<EBadTriggerHandle>(code);
    default:
        break;
    }

    if (code <= kFirstSystemError && code >= kLastSystemError) {
        if (code == kOutOfMemory)
            throw EOutOfMemory();
        throw EInOutError(MessageForCode(-code), -code);
    }
    throw EAPDException(kUnknownError);
}
