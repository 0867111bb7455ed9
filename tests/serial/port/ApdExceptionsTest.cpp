// RaiseOnError: which result codes pass, which class each failure becomes, and with which text.
#include "serial/port/ApdExceptions.h"

#include "serial/log/MessageTable.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <typeinfo>

using ::testing::HasSubstr;

namespace
{

TEST(RaiseOnError, SuccessAndLoadingPassTheCodeThrough)
{
    for (int32_t code : {0, 1, 17, INT32_MAX})
        EXPECT_EQ(RaiseOnError(nullptr, code), code);

    TComponent loading;
    loading.BeginLoading();
    for (int32_t code : {-2011, -8, -2, -1001, INT32_MIN})
        EXPECT_EQ(RaiseOnError(&loading, code), code) << "settings being loaded must not abort the load";
    loading.EndLoading();
    EXPECT_THROW(RaiseOnError(&loading, -2011), ENoPortSelected);
}

template <class TLeaf, class TGroup> bool Is(const EAPDException& error)
{
    return typeid(error) == typeid(TLeaf) && dynamic_cast<const TGroup*>(&error) != nullptr;
}

TEST(RaiseOnError, MappedCodesRaiseTheirClassWithTheTableText)
{
    struct Row {
        int32_t code;
        bool (*is)(const EAPDException&);
    };
    const Row rows[] = {
        {-1002, Is<EBadArgument, EGeneral>},
        {-1003, Is<EGotQuitMsg, EGeneral>},
        {-1004, Is<EBufferTooBig, EGeneral>},
        {-1005, Is<EPortNotAssigned, EGeneral>},
        {-1006, Is<EInternal, EGeneral>},
        {-1007, Is<EModemNotAssigned, EGeneral>},
        {-1008, Is<EPhonebookNotAssigned, EGeneral>},
        {-1009, Is<ECannotUseWithWinSock, EGeneral>},
        {-2001, Is<EBadId, EOpenComm>},
        {-2002, Is<EBaudRate, EOpenComm>},
        {-2003, Is<EByteSize, EOpenComm>},
        {-2004, Is<EDefault, EOpenComm>},
        {-2005, Is<EHardware, EOpenComm>},
        {-2006, Is<EMemory, EOpenComm>},
        {-2007, Is<ECommNotOpen, EOpenComm>},
        {-2008, Is<EAlreadyOpen, EOpenComm>},
        {-2009, Is<ENoHandles, EOpenComm>},
        {-2010, Is<ENoTimers, EOpenComm>},
        {-2011, Is<ENoPortSelected, EOpenComm>},
        {-2012, Is<ENotOpenedByTapi, EOpenComm>},
        {-3001, Is<ENullApi, ESerialIO>},
        {-3003, Is<ERegisterHandlerFailed, ESerialIO>},
        {-3004, Is<EPutBlockFail, ESerialIO>},
        {-3005, Is<EGetBlockFail, ESerialIO>},
        {-3006, Is<EOutputBufferTooSmall, ESerialIO>},
        {-3007, Is<EBufferIsEmpty, ESerialIO>},
        {-3008, Is<ETracingNotEnabled, ESerialIO>},
        {-3009, Is<ELoggingNotEnabled, ESerialIO>},
        {-3010, Is<EBaseAddressNotSet, ESerialIO>},
        {-5001, Is<ENoMoreTriggers, ETrigger>},
        {-5002, Is<ETriggerTooLong, ETrigger>},
        {-5003, Is<EBadTriggerHandle, ETrigger>},
    };
    for (const Row& row : rows) {
        try {
            RaiseOnError(nullptr, row.code);
            ADD_FAILURE() << row.code << " raised nothing";
        } catch (const EAPDException& error) {
            EXPECT_TRUE(row.is(error)) << row.code << " raised " << typeid(error).name();
            EXPECT_EQ(error.ResultCode(), row.code);
            EXPECT_EQ(error.Message(), MessageForCode(row.code));
            EXPECT_FALSE(error.Message().empty()) << row.code;
        }
    }
    try {
        RaiseOnError(nullptr, -2011);
    } catch (const ENoPortSelected& error) {
        EXPECT_EQ(error.Message(), "The ComNumber property of the TApdComPort has not been set");
    }
}

TEST(RaiseOnError, UnmappedCodesBecomeTheGeneralException)
{
    for (int32_t code : {-1, -163, -1001, -3002, -5501, -5505, -5506, -4001, -99999, INT32_MIN}) {
        try {
            RaiseOnError(nullptr, code);
            ADD_FAILURE() << code << " raised nothing";
        } catch (const EAPDException& error) {
            EXPECT_EQ(typeid(error), typeid(EAPDException)) << code;
            EXPECT_EQ(error.Message(), "Velt exception") << code;
            EXPECT_EQ(error.ResultCode(), 0) << code;
        } catch (const std::exception& error) {
            ADD_FAILURE() << code << " raised " << typeid(error).name();
        }
    }
}

TEST(RaiseOnError, SystemErrorsBecomeInputOutputErrors)
{
    EXPECT_THROW(RaiseOnError(nullptr, -8), EOutOfMemory);
    try {
        RaiseOnError(nullptr, -8);
    } catch (const EAPDException&) {
        ADD_FAILURE() << "out of memory is the runtime's own exception";
    } catch (const EOutOfMemory&) {
    }

    struct Row {
        int32_t code;
        std::function<void(const std::string&)> checkText;
    };
    const Row rows[] = {
        {-2, [](const std::string& text) { EXPECT_EQ(text, "File not found"); }},
        {-162, [](const std::string& text) { EXPECT_EQ(text, "General failure"); }},
        {-32,
         [](const std::string& text) {
             EXPECT_EQ(text,
                       "The process cannot access the file because it is being used by another process. ");
         }},
        // A port the user may not open must say so, not look like a port in use.
        {-73,
         [](const std::string& text) {
             EXPECT_THAT(text, HasSubstr("permission"));
             EXPECT_THAT(text, HasSubstr("dialout"));
         }},
        {-7, [](const std::string& text) { EXPECT_EQ(text, ""); }},
    };
    for (const Row& row : rows) {
        try {
            RaiseOnError(nullptr, row.code);
            ADD_FAILURE() << row.code << " raised nothing";
        } catch (const EInOutError& error) {
            EXPECT_EQ(error.ErrorCode, -row.code);
            row.checkText(error.Message());
        }
    }
}

TEST(EAPDException, MadeFromACodeOrFromAText)
{
    const EAPDException fromCode(-3007);
    EXPECT_EQ(fromCode.ResultCode(), -3007);
    EXPECT_EQ(fromCode.Message(), "Buffer is empty");
    EXPECT_EQ(EAPDException(3007).Message(), "Buffer is empty") << "the text does not depend on the sign";

    const EAPDException fromText(std::string("Port vanished"));
    EXPECT_EQ(fromText.ResultCode(), 0);
    EXPECT_EQ(fromText.Message(), "Port vanished");
    EXPECT_EQ(EAPDException(static_cast<const char*>(nullptr)).Message(), "");

    // The packet detector raises this one itself from its own codes.
    const EInvalidProperty invalid(-5502);
    const EPacket& asGroup = invalid;
    EXPECT_EQ(asGroup.ResultCode(), -5502);
    EXPECT_EQ(asGroup.Message(), "Packet size cannot be smaller than start string");
    const Exception& asRuntime = invalid;
    EXPECT_EQ(asRuntime.Message(), "Packet size cannot be smaller than start string");
}

} // namespace
