// The exceptions of the serial stack: one class per result code the port can meet, grouped by the
// layer that reports it, and RaiseOnError, which turns a negative result code into one of them.
#pragma once

#include "runtime/Component.h"
#include "runtime/Exception.h"

#include <cstdint>
#include <string>

/// Base of the serial stack's exceptions. ResultCode is the code the exception was made from, or 0
/// when it was made from a text.
class EAPDException : public Exception
{
public:
    /// Made from a result code: the message is the code's text in the message table.
    explicit EAPDException(int32_t code);
    /// Made from a text: ResultCode is 0.
    explicit EAPDException(const std::string& text);
    explicit EAPDException(const char* text) : EAPDException(std::string(text == nullptr ? "" : text)) {}

    int32_t ResultCode() const { return FResultCode; }
    void SetResultCode(int32_t code) { FResultCode = code; }

private:
    int32_t FResultCode;
};

// Groups, one per layer or facility.
class EGeneral : public EAPDException
{
public:
    using EAPDException::EAPDException;
};
class EOpenComm : public EAPDException
{
public:
    using EAPDException::EAPDException;
};
class ESerialIO : public EAPDException
{
public:
    using EAPDException::EAPDException;
};
class EModem : public EAPDException
{
public:
    using EAPDException::EAPDException;
};
class ETrigger : public EAPDException
{
public:
    using EAPDException::EAPDException;
};
class EPacket : public EAPDException
{
public:
    using EAPDException::EAPDException;
};
class EProtocol : public EAPDException
{
public:
    using EAPDException::EAPDException;
};
class EINI : public EAPDException
{
public:
    using EAPDException::EAPDException;
};
class EFax : public EAPDException
{
public:
    using EAPDException::EAPDException;
};
class ETapi : public EAPDException
{
public:
    using EAPDException::EAPDException;
};
class ERas : public EAPDException
{
public:
    using EAPDException::EAPDException;
};

// General errors (-1002 to -1009).
class EBadArgument : public EGeneral
{
public:
    using EGeneral::EGeneral;
};
class EGotQuitMsg : public EGeneral
{
public:
    using EGeneral::EGeneral;
};
class EBufferTooBig : public EGeneral
{
public:
    using EGeneral::EGeneral;
};
class EPortNotAssigned : public EGeneral
{
public:
    using EGeneral::EGeneral;
};
class EInternal : public EGeneral
{
public:
    using EGeneral::EGeneral;
};
class EModemNotAssigned : public EGeneral
{
public:
    using EGeneral::EGeneral;
};
class EPhonebookNotAssigned : public EGeneral
{
public:
    using EGeneral::EGeneral;
};
class ECannotUseWithWinSock : public EGeneral
{
public:
    using EGeneral::EGeneral;
};

// Opening the port (-2001 to -2012).
class EBadId : public EOpenComm
{
public:
    using EOpenComm::EOpenComm;
};
class EBaudRate : public EOpenComm
{
public:
    using EOpenComm::EOpenComm;
};
class EByteSize : public EOpenComm
{
public:
    using EOpenComm::EOpenComm;
};
class EDefault : public EOpenComm
{
public:
    using EOpenComm::EOpenComm;
};
class EHardware : public EOpenComm
{
public:
    using EOpenComm::EOpenComm;
};
class EMemory : public EOpenComm
{
public:
    using EOpenComm::EOpenComm;
};
class ECommNotOpen : public EOpenComm
{
public:
    using EOpenComm::EOpenComm;
};
class EAlreadyOpen : public EOpenComm
{
public:
    using EOpenComm::EOpenComm;
};
class ENoHandles : public EOpenComm
{
public:
    using EOpenComm::EOpenComm;
};
class ENoTimers : public EOpenComm
{
public:
    using EOpenComm::EOpenComm;
};
class ENoPortSelected : public EOpenComm
{
public:
    using EOpenComm::EOpenComm;
};
class ENotOpenedByTapi : public EOpenComm
{
public:
    using EOpenComm::EOpenComm;
};

// Serial input and output (-3001 to -3010).
class ENullApi : public ESerialIO
{
public:
    using ESerialIO::ESerialIO;
};
class ERegisterHandlerFailed : public ESerialIO
{
public:
    using ESerialIO::ESerialIO;
};
class EPutBlockFail : public ESerialIO
{
public:
    using ESerialIO::ESerialIO;
};
class EGetBlockFail : public ESerialIO
{
public:
    using ESerialIO::ESerialIO;
};
class EOutputBufferTooSmall : public ESerialIO
{
public:
    using ESerialIO::ESerialIO;
};
class EBufferIsEmpty : public ESerialIO
{
public:
    using ESerialIO::ESerialIO;
};
class ETracingNotEnabled : public ESerialIO
{
public:
    using ESerialIO::ESerialIO;
};
class ELoggingNotEnabled : public ESerialIO
{
public:
    using ESerialIO::ESerialIO;
};
class EBaseAddressNotSet : public ESerialIO
{
public:
    using ESerialIO::ESerialIO;
};

// Triggers (-5001 to -5003).
class ENoMoreTriggers : public ETrigger
{
public:
    using ETrigger::ETrigger;
};
class ETriggerTooLong : public ETrigger
{
public:
    using ETrigger::ETrigger;
};
class EBadTriggerHandle : public ETrigger
{
public:
    using ETrigger::ETrigger;
};

/// Inconsistent packet detector settings; the detector raises it itself, made from -5501 to -5505.
class EInvalidProperty : public EPacket
{
public:
    using EPacket::EPacket;
};

/// Returns `code` when it is 0 or positive, or when `component` is loading its stored settings
/// (a null component counts as not loading). Otherwise throws: the code's own class where it has
/// one (-1002 to -1009, -2001 to -2012, -3001 and -3003 to -3010, -5001 to -5003); for -162 to -2
/// EOutOfMemory (-8) or EInOutError with the code's text and the positive error number; for any
/// other negative code EAPDException("Velt exception"), ResultCode 0.
/// Thread: the component's, since it reads the loading state (any thread with a null component).
int32_t RaiseOnError(TComponent* component, int32_t code);
