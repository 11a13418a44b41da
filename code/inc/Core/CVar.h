#pragma once
// Console variables: named, typed settings declared as static objects by their modules. A
// declaration only links the variable into a list; CmdSystem::Init() registers them all at once
// (RegisterCvars), after which they are found by name (case-insensitively) and set from text.
// Used from the main thread only (or after configuration is complete).

#include "Core/String.h"
#include "Core/StrView.h"
#include "Core/Types.h"

namespace Morvex
{
enum class CVarType : uint32
{
    Int = 0,
    Float = 1,
    String = 2,
    Color = 3,
};

enum : uint32
{
    CVAR_READONLY = 1,
    CVAR_ARCHIVE = 4,
    CVAR_MODIFIED = 64,
};

constexpr uint32 MAX_CVARS = 1536;

class CVar
{
public:
    // Receives the variable and its userData; returns true to accept the change.
    using Callback = bool (*)(CVar* var, void* userData);

    // With range: type must be CVarType::Int.
    CVar(CVarType type, const char* name, uint32 flags, const char* defaultValue, const char* desc, int32 min,
         int32 max, Callback callback = nullptr);
    // Without range: the default range of the type.
    CVar(CVarType type, const char* name, uint32 flags, const char* defaultValue, const char* desc,
         Callback callback = nullptr);
    CVar(const CVar&) = delete;
    CVar& operator=(const CVar&) = delete;

    // Sets from text; false when the change callback rejected it.
    bool SetS(const char* text, uint32 length);
    bool SetS(StrView text) { return SetS(text.data(), text.length()); }
    // The text form, refreshed from the value for numeric and colour variables. Valid until the
    // next change of the variable.
    const char* GetS();
    const char* GetDefault() const { return defaultValue; }
    bool SetInt(int32 v);
    bool SetFloat(float v);
    bool SetBool(bool v);
    int32 GetInt() const;
    float GetFloat() const;
    bool GetBool() const;

    const char* GetName() const { return name; }
    const char* GetDesc() const { return desc; }
    CVarType GetType() const { return type; }
    uint32 GetFlags() const { return flags; }
    void AddFlags(uint32 f) { flags |= f; }

    // Registry (owned by the command system's module).
    static void RegisterCvars();
    static CVar* FindVar(const char* name, uint32 length);
    static CVar* FindVar(StrView name) { return FindVar(name.data(), name.length()); }
    static uint32 GetNumCvars();
    static CVar* GetCvar(uint32 index); // in name order
    // Empties the registry and releases every variable's text storage (CmdSystem::Shutdown).
    static void ShutdownCvars();

    union
    {
        int32 i;
        float f;
        uint32 color;
    } value{};
    String text;
    CVar* next = nullptr;
    CVarType type;
    const char* name;
    const char* defaultValue;
    const char* desc;
    union
    {
        int32 i;
        float f;
    } min{}, max{};
    uint32 flags;
    Callback callback;
    void* userData = nullptr;
};
} // namespace Morvex
