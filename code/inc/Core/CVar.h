#pragma once
// Console variables: named, typed settings declared as static objects by their modules. A
// declaration only links the variable into a list; CmdSystem::Init() registers them all at once
// (RegisterCvars): each gets its default value and becomes findable by name, ignoring ASCII case.
// Afterwards console scripts set them from text and modules read them through the typed getters.
//
// Threads: nothing here is synchronised. Declarations run during static initialisation;
// registration, scripts and every write run on the main thread before worker threads start, which
// then only read.

#include "Core/StrView.h"
#include "Core/String.h"
#include "Core/Types.h"

namespace Morvex
{
enum class CVarType : uint32
{
    Int = 0,
    Float = 1,
    String = 2,
    Color = 3, // packed: alpha bits 24-31, red 16-23, green 8-15, blue 0-7
};

enum : uint32
{
    CVAR_READONLY = 1,  // console commands refuse to change the variable
    CVAR_ARCHIVE = 4,   // the value is one to be saved (declaration or `seta`)
    CVAR_MODIFIED = 64, // set by every accepted change after registration, never cleared
};

// Room in the registry without heap storage; more declarations still register, after an assertion.
constexpr uint32 MAX_CVARS = 1536;

class CVar
{
public:
    // Receives the variable (already holding the new value) and its userData; returns true to
    // accept the change. A rejected change is undone by the caller.
    using Callback = bool (*)(CVar* var, void* userData);

    // With range: type must be CVarType::Int (asserts "type == CVarType::Int"). name, defaultValue
    // and desc are not owned and must outlive the variable. A null or empty name asserts and leaves
    // the variable unregistered; a null default or description asserts and is taken as "". A
    // declaration after RegisterCvars asserts and stays unregistered (FindVar never finds it).
    CVar(CVarType type, const char* name, uint32 flags, const char* defaultValue, const char* desc, int32 min,
         int32 max, Callback callback = nullptr);
    // Without range: Int and Color take the full int32 range, Float the full finite float range.
    CVar(CVarType type, const char* name, uint32 flags, const char* defaultValue, const char* desc,
         Callback callback = nullptr);
    // A variable that goes away before the registry (one made at run time, or a static object
    // destroyed while the registry still lists it) takes itself out of the declaration list or the
    // registry, so that neither keeps a dangling pointer.
    ~CVar();
    CVar(const CVar&) = delete;
    CVar& operator=(const CVar&) = delete;

    // Sets from text (need not be NUL-terminated) by the variable's type; numbers are clamped to the
    // range, text that is no number gives 0. The change is always offered to the callback, even
    // when nothing changes; false when the callback rejected it (the previous value is restored).
    bool SetS(const char* text, uint32 length);
    bool SetS(StrView text) { return SetS(text.data(), text.length()); }
    // The text form, refreshed from the value for Int, Float and Color. Never null; valid until the
    // next change or GetS of this variable.
    const char* GetS();
    const char* GetDefault() const { return defaultValue; }
    // Typed setters: SetInt takes Int (clamped) and Color (not clamped), SetFloat takes Float
    // (clamped; NaN gives the minimum), SetBool takes Int (1 or 0, not clamped). Setting the stored
    // value again returns true without offering a change. A wrong type reports "Unsupported
    // conversion" through the assertion handler and returns false.
    bool SetInt(int32 v);
    bool SetFloat(float v);
    bool SetBool(bool v);
    // Typed getters: GetInt takes Int, Color and Float (truncated toward zero, saturated to the
    // int32 range), GetFloat takes Int and Float, GetBool takes Int. A wrong type reports
    // "Suspicious conversion" through the assertion handler and gives 0 / false.
    int32 GetInt() const;
    float GetFloat() const;
    bool GetBool() const;

    const char* GetName() const { return name; }
    const char* GetDesc() const { return desc; }
    CVarType GetType() const { return type; }
    uint32 GetFlags() const { return flags; }
    void AddFlags(uint32 f) { flags |= f; }

    // Registry (owned by the command system's module; main thread only).
    // Registers every declared variable, sorted by name in unsigned byte order, and sets each to its
    // default; runs once (later calls do nothing).
    static void RegisterCvars();
    // Case-insensitive lookup; null when no registered variable has that name (or name is null).
    static CVar* FindVar(const char* name, uint32 length);
    static CVar* FindVar(StrView name) { return FindVar(name.data(), name.length()); }
    static uint32 GetNumCvars();
    // The index-th registered variable in name order; null past the end.
    static CVar* GetCvar(uint32 index);
    // Releases every registered variable's text storage and empties the registry; the declaration
    // list stays closed. Safe to call twice.
    static void ShutdownCvars();

    // Fields are public so that a module that knows its variable's type may read `value` (or, for
    // a String variable, `text`) directly.
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

private:
    void Declare();
    void ApplyText(const char* text, uint32 length);
    bool OfferChange();
};
} // namespace Morvex
