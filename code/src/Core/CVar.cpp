// Placeholder console variables: declarations keep their default text. Replaced by the full
// registry (sorted array, name index, typed setters).

#include "Core/CVar.h"

#include "Core/Str.h"

#include <cstring>

namespace Morvex
{
CVar::CVar(CVarType t, const char* n, uint32 fl, const char* def, const char* d, int32 mn, int32 mx, Callback cb)
    : type(t), name(n), defaultValue(def), desc(d), flags(fl), callback(cb)
{
    min.i = mn;
    max.i = mx;
    text = def;
    value.i = Str::ToInt(def);
}

CVar::CVar(CVarType t, const char* n, uint32 fl, const char* def, const char* d, Callback cb)
    : type(t), name(n), defaultValue(def), desc(d), flags(fl), callback(cb)
{
    text = def;
    value.i = Str::ToInt(def);
}

bool CVar::SetS(const char* t, uint32 length)
{
    text.Assign(t, length);
    value.i = Str::ToInt(text.c_str());
    return true;
}
const char* CVar::GetS()
{
    return text.c_str();
}
bool CVar::SetInt(int32 v)
{
    value.i = v;
    return true;
}
bool CVar::SetFloat(float v)
{
    value.f = v;
    return true;
}
bool CVar::SetBool(bool v)
{
    value.i = v ? 1 : 0;
    return true;
}
int32 CVar::GetInt() const
{
    return value.i;
}
float CVar::GetFloat() const
{
    return value.f;
}
bool CVar::GetBool() const
{
    return value.i != 0;
}
void CVar::RegisterCvars() {}
CVar* CVar::FindVar(const char*, uint32)
{
    return nullptr;
}
uint32 CVar::GetNumCvars()
{
    return 0;
}
CVar* CVar::GetCvar(uint32)
{
    return nullptr;
}
void CVar::ShutdownCvars() {}
} // namespace Morvex
