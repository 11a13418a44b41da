#include "Core/ErrorCode.h"

namespace Morvex
{
namespace
{
struct ErrorCodeNames
{
    ErrorCode code;
    const char* name;
    const char* qualified;
};

// The values this system uses; the game's online-service codes are outside it.
constexpr ErrorCodeNames kNames[] = {
    {ErrorCode::OK, "OK", "ErrorCode::OK"},
    {ErrorCode::UNKNOWN, "UNKNOWN", "ErrorCode::UNKNOWN"},
    {ErrorCode::GENERIC, "GENERIC", "ErrorCode::GENERIC"},
    {ErrorCode::INVALID_PARAMS, "INVALID_PARAMS", "ErrorCode::INVALID_PARAMS"},
    {ErrorCode::OPERATION_CANCELLED, "OPERATION_CANCELLED", "ErrorCode::OPERATION_CANCELLED"},
    {ErrorCode::PROMISE_BROKEN, "PROMISE_BROKEN", "ErrorCode::PROMISE_BROKEN"},
    {ErrorCode::TIMEOUT, "TIMEOUT", "ErrorCode::TIMEOUT"},
    {ErrorCode::SERVER_UNAVAILABLE, "SERVER_UNAVAILABLE", "ErrorCode::SERVER_UNAVAILABLE"},
    {ErrorCode::NETWORK, "NETWORK", "ErrorCode::NETWORK"},
    {ErrorCode::SERVER_INTERNAL, "SERVER_INTERNAL", "ErrorCode::SERVER_INTERNAL"},
    {ErrorCode::SERVER_MISUNDERSTOOD_REQUEST, "SERVER_MISUNDERSTOOD_REQUEST",
     "ErrorCode::SERVER_MISUNDERSTOOD_REQUEST"},
    {ErrorCode::SERVER_CERT_UNTRUSTED, "SERVER_CERT_UNTRUSTED", "ErrorCode::SERVER_CERT_UNTRUSTED"},
    {ErrorCode::CONTENT_UPDATE_WRITE_FILE_FAILED, "CONTENT_UPDATE_WRITE_FILE_FAILED",
     "ErrorCode::CONTENT_UPDATE_WRITE_FILE_FAILED"},
    {ErrorCode::INVALID_ERROR_CODE, "INVALID_ERROR_CODE", "ErrorCode::INVALID_ERROR_CODE"},
};

const ErrorCodeNames* Lookup(ErrorCode code)
{
    for (const ErrorCodeNames& entry : kNames)
        if (entry.code == code)
            return &entry;
    return &kNames[1];
}
} // namespace

const char* ErrorCodeName(ErrorCode code)
{
    return Lookup(code)->name;
}

const char* ErrorCodeQualifiedName(ErrorCode code)
{
    return Lookup(code)->qualified;
}
} // namespace Morvex
