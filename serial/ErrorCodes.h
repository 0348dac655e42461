// The library's result codes: 0 for success, a negative number for an error. Their texts are in
// serial/MessageTable.h, their exception classes in serial/Exceptions.h.
#pragma once

#include <cstdint>

inline constexpr std::int32_t ecOK = 0;
inline constexpr std::int32_t ecFileNotFound = -2;
inline constexpr std::int32_t ecPathNotFound = -3;
inline constexpr std::int32_t ecAccessDenied = -5;
inline constexpr std::int32_t ecOutOfMemory = -8;
inline constexpr std::int32_t ecDeviceWrite = -160;
inline constexpr std::int32_t ecDeviceRead = -161;
inline constexpr std::int32_t ecBadArgument = -1002;
inline constexpr std::int32_t ecPortNotAssigned = -1005;
inline constexpr std::int32_t ecBadId = -2001;
inline constexpr std::int32_t ecCommNotOpen = -2007;
inline constexpr std::int32_t ecAlreadyOpen = -2008;
inline constexpr std::int32_t ecNoPortSelected = -2011;
inline constexpr std::int32_t ecNotOpenedByTapi = -2012;
inline constexpr std::int32_t ecNullApi = -3001;
inline constexpr std::int32_t ecPutBlockFail = -3004;
inline constexpr std::int32_t ecOutputBufferTooSmall = -3006;
inline constexpr std::int32_t ecBufferIsEmpty = -3007;
inline constexpr std::int32_t ecBaseAddressNotSet = -3010;
inline constexpr std::int32_t ecNoMoreTriggers = -5001;
inline constexpr std::int32_t ecTriggerTooLong = -5002;
inline constexpr std::int32_t ecBadTriggerHandle = -5003;
inline constexpr std::int32_t ecTapiNoMem = -13868;
// XlatException's code for an exception that carries none of the library's.
inline constexpr std::int32_t ecUnknownException = -9999;
