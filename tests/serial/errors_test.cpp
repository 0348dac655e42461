#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <typeinfo>

#include "platform/WinError.h"
#include "serial/Exceptions.h"
#include "serial/MessageTable.h"
#include "serial/TapiStatusTexts.h"
#include "serial/Utilities.h"

namespace {

struct TCodeCase {
    std::int32_t Code;
    const char* Text;            // null: the table holds no text of its own
    const std::type_info* Class; // null: CheckException raises "Apro exception"
};

// Every code whose text or class the library defines.
const TCodeCase Cases[] = {
    {0, "OK", nullptr},
    {-2, "File not found", nullptr},
    {-3, "Path not found", nullptr},
    {-4, "Too many open files", nullptr},
    {-5, "File access denied", nullptr},
    {-6, "Invalid file handle", nullptr},
    {-8, "Insufficient memory", nullptr},
    {-15, "Invalid drive", nullptr},
    {-18, "No more files", nullptr},
    {-100, "Attempt to read beyond end of file", nullptr},
    {-101, "Disk is full", nullptr},
    {-102, "File/device not assigned", nullptr},
    {-103, "File/device not open", nullptr},
    {-104, "File/device not open for input", nullptr},
    {-105, "File/device not open for output", nullptr},
    {-150, "Disk is write-protected", nullptr},
    {-151, "Unknown disk unit", nullptr},
    {-152, "Drive is not ready", nullptr},
    {-153, "Unknown command", nullptr},
    {-154, "Data error", nullptr},
    {-155, "Bad request structure length", nullptr},
    {-156, "Seek error", nullptr},
    {-157, "Unknown media type", nullptr},
    {-158, "Disk sector not found", nullptr},
    {-159, "Printer is out of paper", nullptr},
    {-160, "Device write error", nullptr},
    {-161, "Device read error", nullptr},
    {-162, "General failure", nullptr},
    {-1002, "Bad argument passed to function", &typeid(EBadArgument)},
    {-1003, nullptr, &typeid(EGotQuitMsg)},
    {-1004, nullptr, &typeid(EBufferTooBig)},
    {-1005, "ComPort component not assigned", &typeid(EPortNotAssigned)},
    {-1006, nullptr, &typeid(EInternal)},
    {-1007, nullptr, &typeid(EModemNotAssigned)},
    {-1008, nullptr, &typeid(EPhonebookNotAssigned)},
    {-1009, nullptr, &typeid(ECannotUseWithWinSock)},
    {-2001, "ie_BadId - Specified comport doesn't exist", &typeid(EBadId)},
    {-2002, nullptr, &typeid(EBaudRate)},
    {-2003, nullptr, &typeid(EByteSize)},
    {-2004, nullptr, &typeid(EDefault)},
    {-2005, nullptr, &typeid(EHardware)},
    {-2006, nullptr, &typeid(EMemory)},
    {-2007, "ie_NOpen - device not open", &typeid(ECommNotOpen)},
    {-2008, "ie_Open - device already open", &typeid(EAlreadyOpen)},
    {-2009, nullptr, &typeid(ENoHandles)},
    {-2010, nullptr, &typeid(ENoTimers)},
    {-2011, "The ComNumber property of the TSioComPort has not been set", &typeid(ENoPortSelected)},
    {-2012, "Comport was not opened by Tapi", &typeid(ENotOpenedByTapi)},
    {-3001, "No device layer specified", &typeid(ENullApi)},
    {-3003, nullptr, &typeid(ERegisterHandlerFailed)},
    {-3004, "Failed to put entire block", &typeid(EPutBlockFail)},
    {-3005, nullptr, &typeid(EGetBlockFail)},
    {-3006, "Output buffer too small for block", &typeid(EOutputBufferTooSmall)},
    {-3007, "Buffer is empty", &typeid(EBufferIsEmpty)},
    {-3008, nullptr, &typeid(ETracingNotEnabled)},
    {-3009, nullptr, &typeid(ELoggingNotEnabled)},
    {-3010, "Base address not set", &typeid(EBaseAddressNotSet)},
    {-4001, nullptr, &typeid(EModemNotStarted)},
    {-4002, nullptr, &typeid(EModemBusy)},
    {-4003, nullptr, &typeid(EModemNotDialing)},
    {-4004, nullptr, &typeid(ENotDialing)},
    {-4005, nullptr, &typeid(EAlreadyDialing)},
    {-4006, nullptr, &typeid(EModemNotResponding)},
    {-4007, nullptr, &typeid(EModemRejectedCommand)},
    {-4008, nullptr, &typeid(EModemStatusMismatch)},
    {-5001, "No more trigger slots", &typeid(ENoMoreTriggers)},
    {-5002, "Data trigger too long", &typeid(ETriggerTooLong)},
    {-5003, "Bad trigger handle", &typeid(EBadTriggerHandle)},
    {-6006, nullptr, &typeid(EProtocol)},
    {-6008, nullptr, &typeid(EProtocol)},
    {-6009, nullptr, &typeid(EProtocol)},
    {-7001, nullptr, &typeid(EKeyTooLong)},
    {-7002, nullptr, &typeid(EDataTooLarge)},
    {-7003, nullptr, &typeid(EInternal)},
    {-7004, nullptr, &typeid(EIniWrite)},
    {-7005, nullptr, &typeid(EIniRead)},
    {-7006, nullptr, &typeid(EInternal)},
    {-7007, nullptr, &typeid(ERecordExists)},
    {-7008, nullptr, &typeid(ERecordNotFound)},
    {-7010, nullptr, &typeid(EDatabaseFull)},
    {-7011, nullptr, &typeid(EDatabaseEmpty)},
    {-7012, nullptr, &typeid(EInternal)},
    {-7013, nullptr, &typeid(EBadFieldList)},
    {-7014, nullptr, &typeid(EBadFieldForIndex)},
    {-8001, nullptr, &typeid(EFaxBadFormat)},
    {-8002, nullptr, &typeid(EBadGraphicsFormat)},
    {-8003, nullptr, &typeid(EConvertAbort)},
    {-8004, nullptr, &typeid(EUnpackAbort)},
    {-8005, nullptr, &typeid(ECantMakeBitmap)},
    {-8053, nullptr, &typeid(EInvalidPageNumber)},
    {-8060, nullptr, &typeid(EFaxBadMachine)},
    {-8061, nullptr, &typeid(EFaxBadModemResult)},
    {-8062, nullptr, &typeid(EFaxTrainError)},
    {-8063, nullptr, &typeid(EFaxInitError)},
    {-8064, nullptr, &typeid(EFaxBusy)},
    {-8065, nullptr, &typeid(EFaxVoiceCall)},
    {-8066, nullptr, &typeid(EFaxDataCall)},
    {-8067, nullptr, &typeid(EFaxNoDialTone)},
    {-8068, nullptr, &typeid(EFaxNoCarrier)},
    {-8069, nullptr, &typeid(EFaxSessionError)},
    {-8070, nullptr, &typeid(EFaxPageError)},
#define TAPI_CASE(Name, Code, Text) {Code, Text, &typeid(Name)},
    SIO_TAPI_LINE_ERRORS(TAPI_CASE)
#undef TAPI_CASE
        {-13928, "TAPI already open, dialing or answering", &typeid(ETapiBusy)},
    {-13929, "TapiMode not set in TSioComPort", &typeid(ETapiNotSet)},
    {-13930, "No TAPI device selected", &typeid(ETapiNoSelect)},
    {-13931, "Failed to find/load TAPI.DLL", &typeid(ETapiLoadFail)},
    {-13932, "Failed to get TAPI address", &typeid(ETapiGetAddrFail)},
    {-13934, "Unexpected TAPI error", nullptr},
    {-13935, "TAPI device does not support voice extensions", &typeid(ETapiVoiceNotSupported)},
    {-13936, "TAPI wave file error", &typeid(ETapiWaveFail)},
    {-13940, "Unable to read wave file data", nullptr},
    {-13942, "Unable to translate address", &typeid(ETapiTranslateFail)},
    {-13943, "Wave device in use", nullptr},
    {-13944, "Wave file already exists", nullptr},
    {-13945, "No wave data available", nullptr},
    {-13980, nullptr, &typeid(ERasLoadFail)},
    {13933, "TAPI disabled for 16-bit environments", nullptr},
#define STATUS_CASE(Code, Text) {Code, Text, nullptr},
    SIO_TAPI_STATUS_TEXTS(STATUS_CASE)
#undef STATUS_CASE
    // The dispatch log's entry types, subtypes and column headings.
    {15001, "None", nullptr},
    {15002, "Dispatch", nullptr},
    {15003, "Trigger", nullptr},
    {15004, "TrigAdd", nullptr},
    {15005, "TrigDel", nullptr},
    {15006, "HndlrAdd", nullptr},
    {15007, "HndlrDel", nullptr},
    {15008, "TrigSet", nullptr},
    {15009, "User", nullptr},
    {15101, "ReadCom", nullptr},
    {15102, "WriteCom", nullptr},
    {15103, "Status", nullptr},
    {15104, "Avail", nullptr},
    {15105, "Data", nullptr},
    {15106, "Timer", nullptr},
    {15107, "AvailTrigger", nullptr},
    {15108, "DataTrigger", nullptr},
    {15109, "TimerTrigger", nullptr},
    {15110, "StatTrigger", nullptr},
    {15111, "WndHandler", nullptr},
    {15112, "ProcHandler", nullptr},
    {15113, "EventHandler", nullptr},
    {15501, "    Time  Type      SubType       Data      OtherData", nullptr},
    {15502, "--------  --------  ------------  --------  ---------", nullptr},
    {15742, "Character Set", nullptr},
};

class TLoadingComponent : public TSioBaseComponent {
public:
    TLoadingComponent() { SetComponentState(csLoading, true); }
};

// What CheckException raises for the code: its class, message and code; empty class when nothing.
struct TRaised {
    const std::type_info* Class = nullptr;
    std::string Message;
    std::int32_t Code = 0;
};

TRaised Check(std::int32_t code) {
    try {
        CheckException(nullptr, code);
    } catch (const ESIOException& e) {
        return {&typeid(e), e.Message, e.ErrorCode};
    } catch (const EInOutError& e) {
        return {&typeid(e), e.Message, e.ErrorCode};
    } catch (const Exception& e) {
        return {&typeid(e), e.Message, 0};
    }
    return {};
}

TEST(MessageTable, HoldsTheLibrarysCodesInOrderOfTheirAbsoluteValue) {
    const auto& table = AdMessageNumberLookup();
    ASSERT_EQ(table.size(), 897u);
    for (std::size_t i = 1; i < table.size(); ++i)
        EXPECT_LT(std::abs(table[i - 1].Code), std::abs(table[i].Code)) << "record " << i;
    EXPECT_EQ(table.front().Code, 0);
    EXPECT_STREQ(table.front().Text, "OK");
    EXPECT_EQ(table.back().Code, 15742);
    EXPECT_STREQ(table.back().Text, "Character Set");
    // The only positive code among the telephony errors.
    EXPECT_EQ(MessageNumberToString(-13933), "TAPI disabled for 16-bit environments");
}

TEST(MessageTable, EveryCodeHasItsTextAndItsClass) {
    std::map<std::int32_t, const TCodeCase*> cases;
    for (const TCodeCase& c : Cases)
        cases[c.Code] = &c;
    for (const AdMessageNumberLookupRecord& record : AdMessageNumberLookup()) {
        SCOPED_TRACE(record.Code);
        const auto found = cases.find(record.Code);
        const TCodeCase* c = found == cases.end() ? nullptr : found->second;
        EXPECT_EQ(MessageNumberToString(std::int16_t(record.Code)), c && c->Text ? c->Text : "");
        const std::int32_t code = record.Code;
        if (code >= 0) {
            EXPECT_EQ(CheckException(nullptr, code), code);
            continue;
        }
        const TRaised raised = Check(code);
        if (code == -8) {
            EXPECT_EQ(*raised.Class, typeid(EOutOfMemory));
        } else if (code >= -162) {
            EXPECT_EQ(*raised.Class, typeid(EInOutError));
            EXPECT_EQ(raised.Code, -code);
            EXPECT_EQ(raised.Message, AproLoadStr(std::int16_t(-code)));
        } else if (c && c->Class) {
            EXPECT_EQ(*raised.Class, *c->Class);
            EXPECT_EQ(raised.Code, code);
            EXPECT_EQ(raised.Message, AproLoadStr(std::int16_t(code)));
        } else {
            EXPECT_EQ(*raised.Class, typeid(ESIOException));
            EXPECT_EQ(raised.Message, "Apro exception");
            EXPECT_EQ(raised.Code, 0);
        }
    }
}

TEST(MessageTable, ClassesBelongToTheirGroups) {
    EXPECT_TRUE(dynamic_cast<const EOpenComm*>(&static_cast<const ESIOException&>(EAlreadyOpen(-2008))));
    EXPECT_TRUE(dynamic_cast<const ETapi*>(&static_cast<const ESIOException&>(ETapiNoMem(-13868))));
    EXPECT_TRUE(
        dynamic_cast<const EXML*>(&static_cast<const ESIOException&>(EAdParserError("x", 1, 2, 3, "y"))));
    const EBufferIsEmpty empty(-3007);
    EXPECT_STREQ(empty.what(), "Buffer is empty");
    EXPECT_EQ(ESIOException::MapCodeToStringID(-3007), 3007);
}

TEST(MessageTable, LooksUpByAbsoluteValueAndFallsBackOnTheSystemsText) {
    EXPECT_EQ(AproLoadStr(2011), AproLoadStr(-2011));
    EXPECT_EQ(AproLoadStr(-2011), "The ComNumber property of the TSioComPort has not been set");
    EXPECT_EQ(ErrorMsg(-13933), "TAPI disabled for 16-bit environments");
    EXPECT_EQ(ErrorMsg(0), "OK");
    EXPECT_EQ(ErrorMsg(15742), "Character Set");
    EXPECT_EQ(MessageNumberToString(4102), "");             // between two records
    EXPECT_EQ(AproLoadStr(4102), "");                       // and no system text either
    EXPECT_EQ(ErrorMsg(-65536 - 2011), AproLoadStr(-2011)); // only the low 16 bits count
    // A Windows error the table lacks gets the system's text.
    EXPECT_EQ(AproLoadStr(-87), SysErrorMessage(87));
    EXPECT_FALSE(AproLoadStr(-87).empty());
}

TEST(MessageTable, AproLoadZWritesTheTextZeroTerminatedIntoTheBuffer) {
    for (std::int32_t code : {-2011, 2011, -65536 - 2011, 4102, -87, 15742}) {
        char buffer[AproLoadZSize];
        std::fill(std::begin(buffer), std::end(buffer), 'x');
        EXPECT_EQ(AproLoadZ(buffer, code), buffer);
        EXPECT_EQ(std::string(buffer), ErrorMsg(code)) << code;
    }
}

TEST(CheckException, PassesResultsOfZeroOrMoreAndRaisesNothingWhileLoading) {
    EXPECT_EQ(CheckException(nullptr, 5), 5);
    EXPECT_EQ(CheckException(nullptr, 0), 0);
    const TLoadingComponent loading;
    EXPECT_EQ(CheckException(&loading, -2011), -2011);
    const TSioBaseComponent ready;
    EXPECT_THROW(CheckException(&ready, -2011), ENoPortSelected);
}

TEST(CheckException, MapsFileErrorsAndOutOfMemoryToTheFrameworksClasses) {
    const TRaised write = Check(-160);
    EXPECT_EQ(*write.Class, typeid(EInOutError));
    EXPECT_EQ(write.Message, "Device write error");
    EXPECT_EQ(write.Code, 160);
    const TRaised parameter = Check(-87);
    EXPECT_EQ(*parameter.Class, typeid(EInOutError));
    EXPECT_EQ(parameter.Message, SysErrorMessage(87));
    EXPECT_EQ(*Check(-8).Class, typeid(EOutOfMemory));
    for (std::int32_t unknown : {-1001, -3002, -4009, -13934, -13940, -200, -9999}) {
        const TRaised r = Check(unknown);
        EXPECT_EQ(*r.Class, typeid(ESIOException)) << unknown;
        EXPECT_EQ(r.Message, "Apro exception") << unknown;
        EXPECT_EQ(r.Code, 0) << unknown;
    }
}

TEST(XlatException, GivesTheCodeAnExceptionStandsFor) {
    EXPECT_EQ(XlatException(EAlreadyOpen(-2008)), -2008);
    EXPECT_EQ(XlatException(EInOutError("Device write error", 160)), -160);
    EXPECT_EQ(XlatException(EOutOfMemory()), -8);
    EXPECT_EQ(XlatException(std::bad_alloc()), -8);
    EXPECT_EQ(XlatException(ESIOException("Apro exception")), 0);
    EXPECT_EQ(XlatException(std::runtime_error("other")), -9999);
}

} // namespace
