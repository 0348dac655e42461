// The serial library's exceptions and the check that turns a negative result into one.
//
// The dispatcher and its threads return codes and raise nothing; the component passes their
// results through CheckException, which picks the class by the code and takes the message from the
// message table (serial/MessageTable.h). A code it does not know raises ESIOException "Apro
// exception" with ErrorCode 0.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "serial/TapiLineErrors.h"

class TSioBaseComponent;

// The framework's exception: a message and a help context.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }

    std::string Message;
    int HelpContext = 0;
};

// The framework's file and device error; ErrorCode is the positive runtime error number.
class EInOutError : public Exception {
public:
    EInOutError(std::string message, std::int32_t errorCode)
        : Exception(std::move(message)), ErrorCode(errorCode) {}
    std::int32_t ErrorCode;
};

// The framework's ready-made out-of-memory exception.
class EOutOfMemory : public Exception {
public:
    EOutOfMemory() : Exception("Out of memory") {}
};

class ESIOException : public Exception {
public:
    // The message is the table's text for the code.
    explicit ESIOException(std::int32_t code);
    // A ready text; ErrorCode 0.
    explicit ESIOException(const std::string& text) : Exception(text) {}
    explicit ESIOException(const char* text) : Exception(text) {}

    static std::int32_t MapCodeToStringID(std::int32_t code) { return code < 0 ? -code : code; }

    std::int32_t ErrorCode = 0;
};

#define SIO_EXCEPTION(Name, Parent)                                                                          \
    class Name : public Parent {                                                                             \
    public:                                                                                                  \
        using Parent::Parent;                                                                                \
    };

// The groups.
SIO_EXCEPTION(EGeneral, ESIOException)
SIO_EXCEPTION(EOpenComm, ESIOException)
SIO_EXCEPTION(ESerialIO, ESIOException)
SIO_EXCEPTION(EModem, ESIOException)
SIO_EXCEPTION(ETrigger, ESIOException)
SIO_EXCEPTION(EPacket, ESIOException)
SIO_EXCEPTION(EProtocol, ESIOException)
SIO_EXCEPTION(EINI, ESIOException)
SIO_EXCEPTION(EFax, ESIOException)
SIO_EXCEPTION(ETapi, ESIOException)
SIO_EXCEPTION(ERas, ESIOException)
SIO_EXCEPTION(EAdTerminal, ESIOException)
SIO_EXCEPTION(EXML, ESIOException)
SIO_EXCEPTION(EStateMachine, ESIOException)

SIO_EXCEPTION(EBadArgument, EGeneral)
SIO_EXCEPTION(EGotQuitMsg, EGeneral)
SIO_EXCEPTION(EBufferTooBig, EGeneral)
SIO_EXCEPTION(EPortNotAssigned, EGeneral)
SIO_EXCEPTION(EInternal, EGeneral)
SIO_EXCEPTION(EModemNotAssigned, EGeneral)
SIO_EXCEPTION(EPhonebookNotAssigned, EGeneral)
SIO_EXCEPTION(ECannotUseWithWinSock, EGeneral)

SIO_EXCEPTION(EBadId, EOpenComm)
SIO_EXCEPTION(EBaudRate, EOpenComm)
SIO_EXCEPTION(EByteSize, EOpenComm)
SIO_EXCEPTION(EDefault, EOpenComm)
SIO_EXCEPTION(EHardware, EOpenComm)
SIO_EXCEPTION(EMemory, EOpenComm)
SIO_EXCEPTION(ECommNotOpen, EOpenComm)
SIO_EXCEPTION(EAlreadyOpen, EOpenComm)
SIO_EXCEPTION(ENoHandles, EOpenComm)
SIO_EXCEPTION(ENoTimers, EOpenComm)
SIO_EXCEPTION(ENoPortSelected, EOpenComm)
SIO_EXCEPTION(ENotOpenedByTapi, EOpenComm)

SIO_EXCEPTION(ENullApi, ESerialIO)
SIO_EXCEPTION(ERegisterHandlerFailed, ESerialIO)
SIO_EXCEPTION(EPutBlockFail, ESerialIO)
SIO_EXCEPTION(EGetBlockFail, ESerialIO)
SIO_EXCEPTION(EOutputBufferTooSmall, ESerialIO)
SIO_EXCEPTION(EBufferIsEmpty, ESerialIO)
SIO_EXCEPTION(ETracingNotEnabled, ESerialIO)
SIO_EXCEPTION(ELoggingNotEnabled, ESerialIO)
SIO_EXCEPTION(EBaseAddressNotSet, ESerialIO)

SIO_EXCEPTION(EModemNotStarted, EModem)
SIO_EXCEPTION(EModemBusy, EModem)
SIO_EXCEPTION(EModemNotDialing, EModem)
SIO_EXCEPTION(EModemNotResponding, EModem)
SIO_EXCEPTION(EModemRejectedCommand, EModem)
SIO_EXCEPTION(EModemStatusMismatch, EModem)
SIO_EXCEPTION(EAlreadyDialing, EModem)
SIO_EXCEPTION(ENotDialing, EModem)
SIO_EXCEPTION(EDeviceNotSelected, EModem)
SIO_EXCEPTION(EModemDetectedBusy, EModem)
SIO_EXCEPTION(ENoDialtone, EModem)
SIO_EXCEPTION(ENoCarrier, EModem)
SIO_EXCEPTION(ENoAnswer, EModem)

SIO_EXCEPTION(ENoMoreTriggers, ETrigger)
SIO_EXCEPTION(ETriggerTooLong, ETrigger)
SIO_EXCEPTION(EBadTriggerHandle, ETrigger)

SIO_EXCEPTION(EInvalidProperty, EPacket)
SIO_EXCEPTION(EStringSizeError, EPacket)

SIO_EXCEPTION(ETimeout, EProtocol)
SIO_EXCEPTION(ETooManyErrors, EProtocol)
SIO_EXCEPTION(ESequenceError, EProtocol)

SIO_EXCEPTION(EKeyTooLong, EINI)
SIO_EXCEPTION(EDataTooLarge, EINI)
SIO_EXCEPTION(EIniWrite, EINI)
SIO_EXCEPTION(EIniRead, EINI)
SIO_EXCEPTION(ERecordExists, EINI)
SIO_EXCEPTION(ERecordNotFound, EINI)
SIO_EXCEPTION(EDatabaseFull, EINI)
SIO_EXCEPTION(EDatabaseEmpty, EINI)
SIO_EXCEPTION(EBadFieldList, EINI)
SIO_EXCEPTION(EBadFieldForIndex, EINI)

SIO_EXCEPTION(EFaxBadFormat, EFax)
SIO_EXCEPTION(EBadGraphicsFormat, EFax)
SIO_EXCEPTION(EConvertAbort, EFax)
SIO_EXCEPTION(EUnpackAbort, EFax)
SIO_EXCEPTION(ECantMakeBitmap, EFax)
SIO_EXCEPTION(ENoImageLoaded, EFax)
SIO_EXCEPTION(ENoImageBlockMarked, EFax)
SIO_EXCEPTION(EInvalidPageNumber, EFax)
SIO_EXCEPTION(EFaxBadMachine, EFax)
SIO_EXCEPTION(EFaxBadModemResult, EFax)
SIO_EXCEPTION(EFaxTrainError, EFax)
SIO_EXCEPTION(EFaxInitError, EFax)
SIO_EXCEPTION(EFaxBusy, EFax)
SIO_EXCEPTION(EFaxVoiceCall, EFax)
SIO_EXCEPTION(EFaxDataCall, EFax)
SIO_EXCEPTION(EFaxNoDialTone, EFax)
SIO_EXCEPTION(EFaxNoCarrier, EFax)
SIO_EXCEPTION(EFaxSessionError, EFax)
SIO_EXCEPTION(EFaxPageError, EFax)
SIO_EXCEPTION(EAlreadyMonitored, EFax)

#define SIO_TAPI_LINE_EXCEPTION(Name, Code, Text) SIO_EXCEPTION(Name, ETapi)
SIO_TAPI_LINE_ERRORS(SIO_TAPI_LINE_EXCEPTION)
#undef SIO_TAPI_LINE_EXCEPTION
SIO_EXCEPTION(ETapiBusy, ETapi)
SIO_EXCEPTION(ETapiNotSet, ETapi)
SIO_EXCEPTION(ETapiNoSelect, ETapi)
SIO_EXCEPTION(ETapiLoadFail, ETapi)
SIO_EXCEPTION(ETapiGetAddrFail, ETapi)
SIO_EXCEPTION(ETapiUnexpected, ETapi)
SIO_EXCEPTION(ETapiVoiceNotSupported, ETapi)
SIO_EXCEPTION(ETapiWaveFail, ETapi)
SIO_EXCEPTION(ETapiTranslateFail, ETapi)
SIO_EXCEPTION(EVoIPNotSupported, ETapi)

SIO_EXCEPTION(ERasLoadFail, ERas)

SIO_EXCEPTION(EAdTermRangeError, EAdTerminal)
SIO_EXCEPTION(EAdTermInvalidParameter, EAdTerminal)
SIO_EXCEPTION(EAdTermTooLarge, EAdTerminal)

#undef SIO_EXCEPTION

class EAdStreamError : public EXML {
public:
    EAdStreamError(const std::string& text, std::int32_t position) : EXML(text), Position(position) {}
    std::int32_t Position;
};

class EAdFilterError : public EAdStreamError {
public:
    EAdFilterError(const std::string& text, std::int32_t position, std::int32_t line, std::int32_t column,
                   std::string item)
        : EAdStreamError(text, position), Line(line), Column(column), Item(std::move(item)) {}
    std::int32_t Line;
    std::int32_t Column;
    std::string Item;
};

class EAdParserError : public EAdFilterError {
public:
    using EAdFilterError::EAdFilterError;
};

// Two classes outside the library's tree that carry a code as well.
class ESioPagerException : public Exception {
public:
    ESioPagerException(std::int32_t code, const std::string& text) : Exception(text), ErrorCode(code) {}
    std::int32_t ErrorCode;
};

class ESioGSMPhoneException : public Exception {
public:
    ESioGSMPhoneException(std::int32_t code, const std::string& text) : Exception(text), ErrorCode(code) {}
    std::int32_t ErrorCode;
};

// Returns a result of 0 or more unchanged; raises for a negative one, unless the component is being
// loaded from its form description (then the result comes back unchanged). -8 raises EOutOfMemory;
// -2 to -162 EInOutError with the code's text and the positive number; the codes the library knows
// the class of, that class with the table's text; any other, ESIOException "Apro exception".
std::int32_t CheckException(const TSioBaseComponent* component, std::int32_t result);

// The code an exception stands for: ErrorCode of a library exception, minus the number of an
// EInOutError, -8 for running out of memory, -9999 for anything else.
std::int32_t XlatException(const std::exception& error);
