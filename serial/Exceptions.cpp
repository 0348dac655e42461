#include "serial/Exceptions.h"

#include <algorithm>
#include <new>

#include "serial/MessageTable.h"
#include "serial/Utilities.h"

namespace {

template <class E> [[noreturn]] void Raise(std::int32_t code) {
    throw E(code);
}

struct TRaise {
    std::int32_t Code;
    void (*Throw)(std::int32_t);
};

// The codes whose class the check knows.
constexpr TRaise Raises[] = {
    {-1002, Raise<EBadArgument>},
    {-1003, Raise<EGotQuitMsg>},
    {-1004, Raise<EBufferTooBig>},
    {-1005, Raise<EPortNotAssigned>},
    {-1006, Raise<EInternal>},
    {-1007, Raise<EModemNotAssigned>},
    {-1008, Raise<EPhonebookNotAssigned>},
    {-1009, Raise<ECannotUseWithWinSock>},
    {-2001, Raise<EBadId>},
    {-2002, Raise<EBaudRate>},
    {-2003, Raise<EByteSize>},
    {-2004, Raise<EDefault>},
    {-2005, Raise<EHardware>},
    {-2006, Raise<EMemory>},
    {-2007, Raise<ECommNotOpen>},
    {-2008, Raise<EAlreadyOpen>},
    {-2009, Raise<ENoHandles>},
    {-2010, Raise<ENoTimers>},
    {-2011, Raise<ENoPortSelected>},
    {-2012, Raise<ENotOpenedByTapi>},
    {-3001, Raise<ENullApi>},
    {-3003, Raise<ERegisterHandlerFailed>},
    {-3004, Raise<EPutBlockFail>},
    {-3005, Raise<EGetBlockFail>},
    {-3006, Raise<EOutputBufferTooSmall>},
    {-3007, Raise<EBufferIsEmpty>},
    {-3008, Raise<ETracingNotEnabled>},
    {-3009, Raise<ELoggingNotEnabled>},
    {-3010, Raise<EBaseAddressNotSet>},
    {-4001, Raise<EModemNotStarted>},
    {-4002, Raise<EModemBusy>},
    {-4003, Raise<EModemNotDialing>},
    {-4004, Raise<ENotDialing>},
    {-4005, Raise<EAlreadyDialing>},
    {-4006, Raise<EModemNotResponding>},
    {-4007, Raise<EModemRejectedCommand>},
    {-4008, Raise<EModemStatusMismatch>},
    {-5001, Raise<ENoMoreTriggers>},
    {-5002, Raise<ETriggerTooLong>},
    {-5003, Raise<EBadTriggerHandle>},
    {-6006, Raise<EProtocol>},
    {-6008, Raise<EProtocol>},
    {-6009, Raise<EProtocol>},
    {-7001, Raise<EKeyTooLong>},
    {-7002, Raise<EDataTooLarge>},
    {-7003, Raise<EInternal>},
    {-7004, Raise<EIniWrite>},
    {-7005, Raise<EIniRead>},
    {-7006, Raise<EInternal>},
    {-7007, Raise<ERecordExists>},
    {-7008, Raise<ERecordNotFound>},
    {-7010, Raise<EDatabaseFull>},
    {-7011, Raise<EDatabaseEmpty>},
    {-7012, Raise<EInternal>},
    {-7013, Raise<EBadFieldList>},
    {-7014, Raise<EBadFieldForIndex>},
    {-8001, Raise<EFaxBadFormat>},
    {-8002, Raise<EBadGraphicsFormat>},
    {-8003, Raise<EConvertAbort>},
    {-8004, Raise<EUnpackAbort>},
    {-8005, Raise<ECantMakeBitmap>},
    {-8053, Raise<EInvalidPageNumber>},
    {-8060, Raise<EFaxBadMachine>},
    {-8061, Raise<EFaxBadModemResult>},
    {-8062, Raise<EFaxTrainError>},
    {-8063, Raise<EFaxInitError>},
    {-8064, Raise<EFaxBusy>},
    {-8065, Raise<EFaxVoiceCall>},
    {-8066, Raise<EFaxDataCall>},
    {-8067, Raise<EFaxNoDialTone>},
    {-8068, Raise<EFaxNoCarrier>},
    {-8069, Raise<EFaxSessionError>},
    {-8070, Raise<EFaxPageError>},
#define SIO_TAPI_LINE_RAISE(Name, Code, Text) {Code, Raise<Name>},
    SIO_TAPI_LINE_ERRORS(SIO_TAPI_LINE_RAISE)
#undef SIO_TAPI_LINE_RAISE
        {-13928, Raise<ETapiBusy>},
    {-13929, Raise<ETapiNotSet>},
    {-13930, Raise<ETapiNoSelect>},
    {-13931, Raise<ETapiLoadFail>},
    {-13932, Raise<ETapiGetAddrFail>},
    {-13935, Raise<ETapiVoiceNotSupported>},
    {-13936, Raise<ETapiWaveFail>},
    {-13942, Raise<ETapiTranslateFail>},
    {-13980, Raise<ERasLoadFail>},
};

} // namespace

ESIOException::ESIOException(std::int32_t code)
    : Exception(AproLoadStr(std::int16_t(MapCodeToStringID(code)))) {
    ErrorCode = code;
}

std::int32_t CheckException(const TSioBaseComponent* component, std::int32_t result) {
    if (result >= 0)
        return result;
    if (component && (component->ComponentState() & csLoading))
        return result;
    if (result == -8)
        throw EOutOfMemory();
    if (result >= -162 && result <= -2)
        throw EInOutError(AproLoadStr(std::int16_t(-result)), -result);
    const auto found = std::find_if(std::begin(Raises), std::end(Raises),
                                    [result](const TRaise& r) { return r.Code == result; });
    if (found != std::end(Raises))
        found->Throw(result);
    throw ESIOException("Apro exception");
}

std::int32_t XlatException(const std::exception& error) {
    if (const auto* sio = dynamic_cast<const ESIOException*>(&error))
        return sio->ErrorCode;
    if (const auto* io = dynamic_cast<const EInOutError*>(&error))
        return -io->ErrorCode;
    if (dynamic_cast<const EOutOfMemory*>(&error) || dynamic_cast<const std::bad_alloc*>(&error))
        return -8;
    return -9999;
}
