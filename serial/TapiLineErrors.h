// The telephony line errors: a LINEERR value 0x80000000 + n travels as the library code -(13800 + n).
// One row per error: its exception class, its code and its text. -13804 and -13849 name no error.
#pragma once

#define SIO_TAPI_LINE_ERRORS(X)                                                                              \
    X(ETapiAllocated, -13801, "Already allocated")                                                           \
    X(ETapiBadDeviceID, -13802, "Bad device ID")                                                             \
    X(ETapiBearerModeUnavail, -13803, "Bearer mode unavailable")                                             \
    X(ETapiCallUnavail, -13805, "Call unavailable")                                                          \
    X(ETapiCompletionOverrun, -13806, "Completion overrun")                                                  \
    X(ETapiConferenceFull, -13807, "Conference full")                                                        \
    X(ETapiDialBilling, -13808, "Dial failed")                                                               \
    X(ETapiDialDialtone, -13809, "Dial failed, no dialtone")                                                 \
    X(ETapiDialPrompt, -13810, "Dial failed")                                                                \
    X(ETapiDialQuiet, -13811, "Dial failed")                                                                 \
    X(ETapiIncompatibleApiVersion, -13812, "Incompatible API version")                                       \
    X(ETapiIncompatibleExtVersion, -13813, "Incompatible EXT version")                                       \
    X(ETapiIniFileCorrupt, -13814, "INI file corrupt")                                                       \
    X(ETapiInUse, -13815, "Resource in use")                                                                 \
    X(ETapiInvalAddress, -13816, "Invalid address")                                                          \
    X(ETapiInvalAddressID, -13817, "Invalid address ID")                                                     \
    X(ETapiInvalAddressMode, -13818, "Invalid address mode")                                                 \
    X(ETapiInvalAddressState, -13819, "Invalid address state")                                               \
    X(ETapiInvalAppHandle, -13820, "Invalid application handle")                                             \
    X(ETapiInvalAppName, -13821, "Invalid Application name")                                                 \
    X(ETapiInvalBearerMode, -13822, "Invalid bearer mode")                                                   \
    X(ETapiInvalCallComplMode, -13823, "Invalid call completion mode")                                       \
    X(ETapiInvalCallHandle, -13824, "Invalid call handle")                                                   \
    X(ETapiInvalCallParams, -13825, "Invalid call parameters")                                               \
    X(ETapiInvalCallPrivilege, -13826, "Invalid call privilege")                                             \
    X(ETapiInvalCallSelect, -13827, "Invalid call select")                                                   \
    X(ETapiInvalCallState, -13828, "Invalid call state")                                                     \
    X(ETapiInvalCallStatelist, -13829, "Invalid call state list")                                            \
    X(ETapiInvalCard, -13830, "Invalid card")                                                                \
    X(ETapiInvalCompletionID, -13831, "Invalid completion ID")                                               \
    X(ETapiInvalConfCallHandle, -13832, "Invalid conference call handle")                                    \
    X(ETapiInvalConsultCallHandle, -13833, "Invalid consultation call handle")                               \
    X(ETapiInvalCountryCode, -13834, "Invalid country code")                                                 \
    X(ETapiInvalDeviceClass, -13835, "Invalid device class")                                                 \
    X(ETapiInvalDeviceHandle, -13836, "Invalid device handle")                                               \
    X(ETapiInvalDialParams, -13837, "Invalid dial params")                                                   \
    X(ETapiInvalDigitList, -13838, "Invalid digit list")                                                     \
    X(ETapiInvalDigitMode, -13839, "Invalid digit mode")                                                     \
    X(ETapiInvalDigits, -13840, "Invalid digits")                                                            \
    X(ETapiInvalExtVersion, -13841, "Invalid ext version")                                                   \
    X(ETapiInvalGroupID, -13842, "Invalid group ID")                                                         \
    X(ETapiInvalLineHandle, -13843, "Invalid line handle")                                                   \
    X(ETapiInvalLineState, -13844, "Invalid line state")                                                     \
    X(ETapiInvalLocation, -13845, "Invalid location")                                                        \
    X(ETapiInvalMediaList, -13846, "Invalid media list")                                                     \
    X(ETapiInvalMediaMode, -13847, "Invalid media mode")                                                     \
    X(ETapiInvalMessageID, -13848, "Invalid message ID")                                                     \
    X(ETapiInvalParam, -13850, "Invalid parameter")                                                          \
    X(ETapiInvalParkID, -13851, "Invalid park ID")                                                           \
    X(ETapiInvalParkMode, -13852, "Invalid park mode")                                                       \
    X(ETapiInvalPointer, -13853, "Invalid pointer")                                                          \
    X(ETapiInvalPrivSelect, -13854, "Invalid privilege select")                                              \
    X(ETapiInvalRate, -13855, "Invalid rate")                                                                \
    X(ETapiInvalRequestMode, -13856, "Invalid request mode")                                                 \
    X(ETapiInvalTerminalID, -13857, "Invalid terminal ID")                                                   \
    X(ETapiInvalTerminalMode, -13858, "Invalid terminal mode")                                               \
    X(ETapiInvalTimeout, -13859, "Invalid timeout")                                                          \
    X(ETapiInvalTone, -13860, "Invalid tone")                                                                \
    X(ETapiInvalToneList, -13861, "Invalid tone list")                                                       \
    X(ETapiInvalToneMode, -13862, "Invalid tone mode")                                                       \
    X(ETapiInvalTransferMode, -13863, "Invalid transfer mode")                                               \
    X(ETapiLineMapperFailed, -13864, "Line mapper failed")                                                   \
    X(ETapiNoConference, -13865, "No conference")                                                            \
    X(ETapiNoDevice, -13866, "No device")                                                                    \
    X(ETapiNoDriver, -13867, "No driver")                                                                    \
    X(ETapiNoMem, -13868, "No memory")                                                                       \
    X(ETapiNoRequest, -13869, "No request")                                                                  \
    X(ETapiNotOwner, -13870, "Not owner")                                                                    \
    X(ETapiNotRegistered, -13871, "Not registered")                                                          \
    X(ETapiOperationFailed, -13872, "Operation failed")                                                      \
    X(ETapiOperationUnavail, -13873, "Operation unavailable")                                                \
    X(ETapiRateUnavail, -13874, "Rate unavailable")                                                          \
    X(ETapiResourceUnavail, -13875, "Resource unavailable")                                                  \
    X(ETapiRequestOverrun, -13876, "Request overrun")                                                        \
    X(ETapiStructureTooSmall, -13877, "Structure too small")                                                 \
    X(ETapiTargetNotFound, -13878, "Target not found")                                                       \
    X(ETapiTargetSelf, -13879, "Target is self")                                                             \
    X(ETapiUninitialized, -13880, "Uninitialized")                                                           \
    X(ETapiUserUserInfoTooBig, -13881, "User info too big")                                                  \
    X(ETapiReinit, -13882, "Reinit failed")                                                                  \
    X(ETapiAddressBlocked, -13883, "Address blocked")                                                        \
    X(ETapiBillingRejected, -13884, "Billing rejected")                                                      \
    X(ETapiInvalFeature, -13885, "Invalid feature")                                                          \
    X(ETapiNoMultipleInstance, -13886, "No multiple instance")
