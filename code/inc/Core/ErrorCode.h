#pragma once
// The engine's shared result enumeration.

#include "Core/Types.h"

namespace Morvex
{
enum class ErrorCode : int32
{
    OK = 0,
    UNKNOWN = 1,
    TIMEOUT = 6,
    SERVER_UNAVAILABLE = 7,
    NETWORK = 12,
    SERVER_INTERNAL = 52,
    SERVER_MISUNDERSTOOD_REQUEST = 53,
    SERVER_CERT_UNTRUSTED = 62,
    INVALID_ERROR_CODE = 0x7FFFFFFF,
};

// "TIMEOUT"; "UNKNOWN" for a value without a name of its own.
const char* ErrorCodeName(ErrorCode code);
// "ErrorCode::TIMEOUT"; "ErrorCode::UNKNOWN" for a value without a name of its own.
const char* ErrorCodeQualifiedName(ErrorCode code);
} // namespace Morvex
