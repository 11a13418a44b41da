// Arbitrary text as the value of console variables of every type, and through the shared number
// parsers: values stay inside their ranges, floats are never NaN, and the text form reads back.

#include "Core/CVar.h"
#include "Core/CmdSystem.h"
#include "Core/Log.h"
#include "Core/Str.h"
#include "FuzzSupport.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

using namespace Morvex;

namespace
{
void Check(bool condition)
{
    if (!condition)
        std::abort();
}

CVar fuzz_int(CVarType::Int, "fuzz_int", 0, "1", "");
CVar fuzz_range(CVarType::Int, "fuzz_range", 0, "5", "", -3, 10);
CVar fuzz_float(CVarType::Float, "fuzz_float", 0, "0.5", "");
CVar fuzz_string(CVarType::String, "fuzz_string", 0, "text", "");
CVar fuzz_color(CVarType::Color, "fuzz_color", 0, "1 2 3 4", "");
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Fuzz::InstallDiscardingLog();
    CmdSystem::Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 14)
        return 0;
    const char* text = reinterpret_cast<const char*>(data);
    const uint32 length = static_cast<uint32>(size);
    for (CVar* var : {&fuzz_int, &fuzz_range, &fuzz_float, &fuzz_string, &fuzz_color})
    {
        var->SetS(text, length);
        const char* shown = var->GetS();
        Check(shown != nullptr);
        (void)std::strlen(shown);
    }
    Check(fuzz_range.GetInt() >= -3 && fuzz_range.GetInt() <= 10);
    Check(!std::isnan(fuzz_float.GetFloat()));
    // The text form of a value sets the same value again.
    const std::string intText = fuzz_int.GetS();
    const int32 before = fuzz_int.GetInt();
    fuzz_int.SetS(intText.c_str(), static_cast<uint32>(intText.size()));
    Check(fuzz_int.GetInt() == before);

    const std::string terminated(text, size);
    Check(!std::isnan(Str::ToFloat(terminated.c_str())));
    (void)Str::ToInt(terminated.c_str());
    (void)Str::ToUInt(terminated.c_str());
    (void)Str::ToInt64(terminated.c_str(), 10);
    (void)Str::ToInt64(terminated.c_str(), 16);
    return 0;
}
