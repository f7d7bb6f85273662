// The exception tree of the serial layer and the rule that turns a failing
// result code into an exception.
//
// ESioException carries the code in ErrorCode(); eleven group classes derive
// from it directly and every other class from one of them. Codes of the
// operating system's file family become EInOutError (carrying the absolute
// value as its own code) or EOutOfMemory, the widget toolkit's classes in the
// original design, which do not derive from ESioException.
//
// Thread safety: constructing and raising may happen on any thread.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

namespace sio {

class TSioBaseComponent;

class ESioException : public std::runtime_error {
public:
    // From a code: ErrorCode() is code, the message ErrorMessage(|code|).
    explicit ESioException(std::int32_t code);
    // From a text: ErrorCode() is 0.
    explicit ESioException(const std::string& text);
    // A code with a text of its own (one that names the port, say).
    ESioException(std::int32_t code, const std::string& text);

    std::int32_t ErrorCode() const noexcept { return errorCode_; }
    std::string Message() const { return what(); }

private:
    std::int32_t errorCode_;
};

// The toolkit's input/output error: its own ErrorCode() holds the absolute
// value of the code (87 for -87).
class EInOutError : public std::runtime_error {
public:
    EInOutError(const std::string& message, std::int32_t errorCode);
    std::int32_t ErrorCode() const noexcept { return errorCode_; }
    std::string Message() const { return what(); }

private:
    std::int32_t errorCode_;
};

// The toolkit's out-of-memory error: a std::bad_alloc with its own text.
class EOutOfMemory : public std::bad_alloc {
public:
    const char* what() const noexcept override;
};

#define SIO_DECLARE_EXCEPTION(Class, Base) \
    class Class : public Base {             \
    public:                                 \
        using Base::Base;                   \
    };

// The eleven groups.
SIO_DECLARE_EXCEPTION(EGeneral, ESioException)
SIO_DECLARE_EXCEPTION(EOpenComm, ESioException)
SIO_DECLARE_EXCEPTION(ESerialIO, ESioException)
SIO_DECLARE_EXCEPTION(EModem, ESioException)
SIO_DECLARE_EXCEPTION(ETrigger, ESioException)
SIO_DECLARE_EXCEPTION(EPacket, ESioException)
SIO_DECLARE_EXCEPTION(EProtocol, ESioException)
SIO_DECLARE_EXCEPTION(EINI, ESioException)
SIO_DECLARE_EXCEPTION(EFax, ESioException)
SIO_DECLARE_EXCEPTION(ETapi, ESioException)
SIO_DECLARE_EXCEPTION(ERas, ESioException)

// Leaf classes that RaiseOnError selects by code: X(Class, Group, Code).
// EInternal also answers -7003, -7006 and -7012, EProtocol -6006, -6008 and
// -6009 (see RaiseOnError).
#define SIO_MAPPED_EXCEPTIONS(X)                         \
    X(EBadArgument, EGeneral, -1002)                     \
    X(EGotQuitMsg, EGeneral, -1003)                      \
    X(EBufferTooBig, EGeneral, -1004)                    \
    X(EPortNotAssigned, EGeneral, -1005)                 \
    X(EInternal, EGeneral, -1006)                        \
    X(EModemNotAssigned, EGeneral, -1007)                \
    X(EPhonebookNotAssigned, EGeneral, -1008)            \
    X(ECannotUseWithWinSock, EGeneral, -1009)            \
    X(EBadId, EOpenComm, -2001)                          \
    X(EBaudRate, EOpenComm, -2002)                       \
    X(EByteSize, EOpenComm, -2003)                       \
    X(EDefault, EOpenComm, -2004)                        \
    X(EHardware, EOpenComm, -2005)                       \
    X(EMemory, EOpenComm, -2006)                         \
    X(ECommNotOpen, EOpenComm, -2007)                    \
    X(EAlreadyOpen, EOpenComm, -2008)                    \
    X(ENoHandles, EOpenComm, -2009)                      \
    X(ENoTimers, EOpenComm, -2010)                       \
    X(ENoPortSelected, EOpenComm, -2011)                 \
    X(ENotOpenedByTapi, EOpenComm, -2012)                \
    X(ENullApi, ESerialIO, -3001)                        \
    X(ERegisterHandlerFailed, ESerialIO, -3003)          \
    X(EPutBlockFail, ESerialIO, -3004)                   \
    X(EGetBlockFail, ESerialIO, -3005)                   \
    X(EOutputBufferTooSmall, ESerialIO, -3006)           \
    X(EBufferIsEmpty, ESerialIO, -3007)                  \
    X(ETracingNotEnabled, ESerialIO, -3008)              \
    X(ELoggingNotEnabled, ESerialIO, -3009)              \
    X(EBaseAddressNotSet, ESerialIO, -3010)              \
    X(EDeviceLost, ESerialIO, -3011)                     \
    X(EModemNotStarted, EModem, -4001)                   \
    X(EModemBusy, EModem, -4002)                         \
    X(EModemNotDialing, EModem, -4003)                   \
    X(ENotDialing, EModem, -4004)                        \
    X(EAlreadyDialing, EModem, -4005)                    \
    X(EModemNotResponding, EModem, -4006)                \
    X(EModemRejectedCommand, EModem, -4007)              \
    X(EModemStatusMismatch, EModem, -4008)               \
    X(ENoMoreTriggers, ETrigger, -5001)                  \
    X(ETriggerTooLong, ETrigger, -5002)                  \
    X(EBadTriggerHandle, ETrigger, -5003)                \
    X(EKeyTooLong, EINI, -7001)                          \
    X(EDataTooLarge, EINI, -7002)                        \
    X(EIniWrite, EINI, -7004)                            \
    X(EIniRead, EINI, -7005)                             \
    X(ERecordExists, EINI, -7007)                        \
    X(ERecordNotFound, EINI, -7008)                      \
    X(EDatabaseFull, EINI, -7010)                        \
    X(EDatabaseEmpty, EINI, -7011)                       \
    X(EBadFieldList, EINI, -7013)                        \
    X(EBadFieldForIndex, EINI, -7014)                    \
    X(EFaxBadFormat, EFax, -8001)                        \
    X(EBadGraphicsFormat, EFax, -8002)                   \
    X(EConvertAbort, EFax, -8003)                        \
    X(EUnpackAbort, EFax, -8004)                         \
    X(ECantMakeBitmap, EFax, -8005)                      \
    X(EInvalidPageNumber, EFax, -8053)                   \
    X(EFaxBadMachine, EFax, -8060)                       \
    X(EFaxBadModemResult, EFax, -8061)                   \
    X(EFaxTrainError, EFax, -8062)                       \
    X(EFaxInitError, EFax, -8063)                        \
    X(EFaxBusy, EFax, -8064)                             \
    X(EFaxVoiceCall, EFax, -8065)                        \
    X(EFaxDataCall, EFax, -8066)                         \
    X(EFaxNoDialTone, EFax, -8067)                       \
    X(EFaxNoCarrier, EFax, -8068)                        \
    X(EFaxSessionError, EFax, -8069)                     \
    X(EFaxPageError, EFax, -8070)                        \
    X(ERasLoadFail, ERas, -13980)

// The telephony leaves, one per error code: X(Class, Code), all of group ETapi.
#define SIO_TAPI_EXCEPTIONS(X) \
    X(ETapiAllocated, -13801) \
    X(ETapiBadDeviceID, -13802) \
    X(ETapiBearerModeUnavail, -13803) \
    X(ETapiCallUnavail, -13805) \
    X(ETapiCompletionOverrun, -13806) \
    X(ETapiConferenceFull, -13807) \
    X(ETapiDialBilling, -13808) \
    X(ETapiDialDialtone, -13809) \
    X(ETapiDialPrompt, -13810) \
    X(ETapiDialQuiet, -13811) \
    X(ETapiIncompatibleApiVersion, -13812) \
    X(ETapiIncompatibleExtVersion, -13813) \
    X(ETapiIniFileCorrupt, -13814) \
    X(ETapiInUse, -13815) \
    X(ETapiInvalAddress, -13816) \
    X(ETapiInvalAddressID, -13817) \
    X(ETapiInvalAddressMode, -13818) \
    X(ETapiInvalAddressState, -13819) \
    X(ETapiInvalAppHandle, -13820) \
    X(ETapiInvalAppName, -13821) \
    X(ETapiInvalBearerMode, -13822) \
    X(ETapiInvalCallComplMode, -13823) \
    X(ETapiInvalCallHandle, -13824) \
    X(ETapiInvalCallParams, -13825) \
    X(ETapiInvalCallPrivilege, -13826) \
    X(ETapiInvalCallSelect, -13827) \
    X(ETapiInvalCallState, -13828) \
    X(ETapiInvalCallStatelist, -13829) \
    X(ETapiInvalCard, -13830) \
    X(ETapiInvalCompletionID, -13831) \
    X(ETapiInvalConfCallHandle, -13832) \
    X(ETapiInvalConsultCallHandle, -13833) \
    X(ETapiInvalCountryCode, -13834) \
    X(ETapiInvalDeviceClass, -13835) \
    X(ETapiInvalDeviceHandle, -13836) \
    X(ETapiInvalDialParams, -13837) \
    X(ETapiInvalDigitList, -13838) \
    X(ETapiInvalDigitMode, -13839) \
    X(ETapiInvalDigits, -13840) \
    X(ETapiInvalExtVersion, -13841) \
    X(ETapiInvalGroupID, -13842) \
    X(ETapiInvalLineHandle, -13843) \
    X(ETapiInvalLineState, -13844) \
    X(ETapiInvalLocation, -13845) \
    X(ETapiInvalMediaList, -13846) \
    X(ETapiInvalMediaMode, -13847) \
    X(ETapiInvalMessageID, -13848) \
    X(ETapiInvalParam, -13850) \
    X(ETapiInvalParkID, -13851) \
    X(ETapiInvalParkMode, -13852) \
    X(ETapiInvalPointer, -13853) \
    X(ETapiInvalPrivSelect, -13854) \
    X(ETapiInvalRate, -13855) \
    X(ETapiInvalRequestMode, -13856) \
    X(ETapiInvalTerminalID, -13857) \
    X(ETapiInvalTerminalMode, -13858) \
    X(ETapiInvalTimeout, -13859) \
    X(ETapiInvalTone, -13860) \
    X(ETapiInvalToneList, -13861) \
    X(ETapiInvalToneMode, -13862) \
    X(ETapiInvalTransferMode, -13863) \
    X(ETapiLineMapperFailed, -13864) \
    X(ETapiNoConference, -13865) \
    X(ETapiNoDevice, -13866) \
    X(ETapiNoDriver, -13867) \
    X(ETapiNoMem, -13868) \
    X(ETapiNoRequest, -13869) \
    X(ETapiNotOwner, -13870) \
    X(ETapiNotRegistered, -13871) \
    X(ETapiOperationFailed, -13872) \
    X(ETapiOperationUnavail, -13873) \
    X(ETapiRateUnavail, -13874) \
    X(ETapiResourceUnavail, -13875) \
    X(ETapiRequestOverrun, -13876) \
    X(ETapiStructureTooSmall, -13877) \
    X(ETapiTargetNotFound, -13878) \
    X(ETapiTargetSelf, -13879) \
    X(ETapiUninitialized, -13880) \
    X(ETapiUserUserInfoTooBig, -13881) \
    X(ETapiReinit, -13882) \
    X(ETapiAddressBlocked, -13883) \
    X(ETapiBillingRejected, -13884) \
    X(ETapiInvalFeature, -13885) \
    X(ETapiNoMultipleInstance, -13886) \
    X(ETapiBusy, -13928) \
    X(ETapiNotSet, -13929) \
    X(ETapiNoSelect, -13930) \
    X(ETapiLoadFail, -13931) \
    X(ETapiGetAddrFail, -13932) \
    X(ETapiVoiceNotSupported, -13935) \
    X(ETapiWaveFail, -13936) \
    X(ETapiTranslateFail, -13942)

#define SIO_DECLARE_MAPPED(Class, Group, Code) SIO_DECLARE_EXCEPTION(Class, Group)
#define SIO_DECLARE_TAPI(Class, Code) SIO_DECLARE_EXCEPTION(Class, ETapi)
SIO_MAPPED_EXCEPTIONS(SIO_DECLARE_MAPPED)
SIO_TAPI_EXCEPTIONS(SIO_DECLARE_TAPI)
#undef SIO_DECLARE_MAPPED
#undef SIO_DECLARE_TAPI

// The packet collector raises this one itself for -5501 .. -5506.
SIO_DECLARE_EXCEPTION(EInvalidProperty, EPacket)

// Raises the exception that a negative code selects; does nothing for 0 or
// a positive code. Codes without a class of their own (-1, -1001, -3002,
// the packet codes, ...) raise ESioException("Sio exception") with code 0.
void RaiseForCode(std::int32_t code);
// The same exception, class and code, with a text of its own (one that names
// the port and says why, say); EOutOfMemory keeps its text.
void RaiseForCode(std::int32_t code, const std::string& text);
// A negative code that selects a class of its own (RaiseForCode raises more
// than the bare "Sio exception" for it).
bool CodeHasClass(std::int32_t code);

// A code of 0 or above is returned unchanged, and so is every code while
// component is loading from its form; otherwise RaiseForCode. component may
// be null (then it is never loading).
std::int32_t RaiseOnError(const TSioBaseComponent* component, std::int32_t code);

}  // namespace sio
