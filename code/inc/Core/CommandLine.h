#pragma once
// The parsed process command line: tokens grouped into switches with their values. Written once
// by RunApplication before any other thread starts; read-only (and so safe from any thread) after.

#include "Core/StrView.h"
#include "Core/String.h"
#include "Core/Types.h"

#include <vector>

namespace Morvex
{
namespace CommandLine
{
// Takes the text over and splits it: delimiters space, tab, LF, CR and NUL; a token that starts
// with " or ' runs to the same quote (no escapes; unclosed: to the end); an unquoted token stops
// at a delimiter or either quote. Invalidates every view handed out before.
void Set(String&& text);
// Takes argv as it is: each element is one token, verbatim (the shell has already split and
// unquoted them). The text keeps the elements joined by single spaces.
void SetTokens(int argc, const char* const* argv);
// Any token equal to the name (same bytes, case-sensitive), the program path included.
bool HasSwitch(StrView name);
// The second token of the first group headed by the name that has one; out is untouched when
// false.
bool GetSwitchValue(StrView name, StrView& out);
// The whole token list in order.
const StrView* GetTokens(uint32& count);
const String& GetText();

struct Group
{
    uint32 first;
    uint32 count;
};
const Group* GetGroups(uint32& count);
} // namespace CommandLine
} // namespace Morvex
