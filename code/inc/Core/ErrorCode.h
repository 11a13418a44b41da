#pragma once
// The engine's shared result enumeration.

#include "Core/Types.h"

namespace Morvex
{
enum class ErrorCode : int32
{
    OK = 0,
    UNKNOWN = 1,
    // A failure without a more specific code.
    GENERIC = 2,
    // The caller's arguments were refused before any work started.
    INVALID_PARAMS = 3,
    // The operation was abandoned because its owner stopped (a service shut down, a fetch after it).
    OPERATION_CANCELLED = 4,
    // The producer went away without settling the result.
    PROMISE_BROKEN = 5,
    TIMEOUT = 6,
    SERVER_UNAVAILABLE = 7,
    NETWORK = 12,
    SERVER_INTERNAL = 52,
    SERVER_MISUNDERSTOOD_REQUEST = 53,
    SERVER_CERT_UNTRUSTED = 62,
    // Downloaded content could not be written to its file.
    CONTENT_UPDATE_WRITE_FILE_FAILED = 300,
    INVALID_ERROR_CODE = 0x7FFFFFFF,
};

// "TIMEOUT"; "UNKNOWN" for a value without a name of its own.
const char* ErrorCodeName(ErrorCode code);
// "ErrorCode::TIMEOUT"; "ErrorCode::UNKNOWN" for a value without a name of its own.
const char* ErrorCodeQualifiedName(ErrorCode code);
} // namespace Morvex
