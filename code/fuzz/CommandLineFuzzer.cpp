// Splits arbitrary text as a command line (the tokenizer that CommandLine::Set keeps for texts):
// every token must be a terminated view no longer than the text, groups must cover the tokens in
// order, and the switch lookups must answer with one of the tokens.

#include "Core/CommandLine.h"
#include "Core/String.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

using namespace Morvex;

namespace
{
void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// Reads the whole view (the sanitizers catch a view past its storage) and its terminator.
bool Terminated(StrView token)
{
    uint32 sum = 0;
    for (uint32 i = 0; i < token.length(); ++i)
        sum += static_cast<unsigned char>(token[i]);
    return token.data()[token.length()] == 0 && sum <= 255u * token.length();
}

bool IsToken(StrView value, const StrView* tokens, uint32 count)
{
    for (uint32 i = 0; i < count; ++i)
        if (tokens[i].data() == value.data() && tokens[i].length() == value.length())
            return true;
    return false;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    CommandLine::Set(String(StrView(reinterpret_cast<const char*>(data), static_cast<uint32>(size))));
    const String& text = CommandLine::GetText();
    Check(text.length() == size);
    uint32 count = 0;
    const StrView* tokens = CommandLine::GetTokens(count);
    uint64_t total = 0;
    for (uint32 i = 0; i < count; ++i)
    {
        Check(Terminated(tokens[i]));
        total += tokens[i].length();
    }
    Check(total <= size);
    uint32 groupCount = 0;
    const CommandLine::Group* groups = CommandLine::GetGroups(groupCount);
    uint64_t covered = 0;
    for (uint32 i = 0; i < groupCount; ++i)
    {
        Check(groups[i].first == covered);
        Check(static_cast<uint64_t>(groups[i].first) + groups[i].count <= count);
        covered += groups[i].count;
    }
    for (const char* name : {"--id", "--wc", "--dump-path", "\"", ""})
    {
        StrView value;
        if (CommandLine::GetSwitchValue(StrView(name), value))
            Check(IsToken(value, tokens, count));
        CommandLine::HasSwitch(StrView(name));
    }
    if (count > 0)
    {
        StrView value;
        if (CommandLine::GetSwitchValue(tokens[count - 1], value))
            Check(IsToken(value, tokens, count));
    }
    return 0;
}
