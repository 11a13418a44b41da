#include "Core/CommandLine.h"

#include "Core/Memory/MemoryTag.h"

#include <cstring>

namespace Morvex
{
namespace
{
struct CommandLineState
{
    String text;
    std::vector<char> buffer;
    std::vector<StrView> tokens;
    std::vector<CommandLine::Group> groups;
};

CommandLineState& State()
{
    static CommandLineState state;
    return state;
}

bool IsDelimiter(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == 0;
}

bool IsQuote(char c)
{
    return c == '"' || c == '\'';
}

bool IsSwitch(StrView token)
{
    return token.length() > 0 && (token[0] == '-' || token[0] == '+');
}

void BuildGroups(CommandLineState& s)
{
    s.groups.clear();
    for (uint32 i = 0; i < s.tokens.size(); ++i)
    {
        if (IsSwitch(s.tokens[i]) || s.groups.empty())
            s.groups.push_back(CommandLine::Group{i, 1});
        else
            s.groups.back().count++;
    }
}
} // namespace

void CommandLine::Set(String&& text)
{
    MX_MEMORY_TAG_SCOPE("Core");
    CommandLineState& s = State();
    s.text = std::move(text);
    s.buffer.assign(s.text.data(), s.text.data() + s.text.length());
    s.buffer.push_back(0);
    s.tokens.clear();

    // Token ends are recorded first and terminated afterwards, since a terminator written early
    // could land on the quote that opens the next token.
    struct Span
    {
        uint32 begin;
        uint32 end;
    };
    std::vector<Span> spans;
    const uint32 size = static_cast<uint32>(s.buffer.size());
    const uint32 textEnd = size - 1; // the appended NUL is not part of any token
    uint32 i = 0;
    while (true)
    {
        while (i < size && IsDelimiter(s.buffer[i]))
            ++i;
        if (i >= size)
            break;
        char c = s.buffer[i];
        if (IsQuote(c))
        {
            uint32 begin = i + 1;
            uint32 end = begin;
            while (end < textEnd && s.buffer[end] != c)
                ++end;
            spans.push_back(Span{begin, end});
            i = end < textEnd ? end + 1 : textEnd;
        }
        else
        {
            uint32 begin = i;
            uint32 end = begin;
            while (end < size && !IsDelimiter(s.buffer[end]) && !IsQuote(s.buffer[end]))
                ++end;
            spans.push_back(Span{begin, end});
            i = end;
        }
    }
    for (const Span& span : spans)
        s.tokens.push_back(StrView(s.buffer.data() + span.begin, span.end - span.begin));
    for (const Span& span : spans)
        if (span.end < size)
            s.buffer[span.end] = 0;
    BuildGroups(s);
}

void CommandLine::SetTokens(int argc, const char* const* argv)
{
    MX_MEMORY_TAG_SCOPE("Core");
    CommandLineState& s = State();
    s.text.Clear();
    s.buffer.clear();
    s.tokens.clear();
    std::vector<uint32> offsets;
    for (int a = 0; a < argc; ++a)
    {
        const char* arg = argv[a] ? argv[a] : "";
        uint32 length = static_cast<uint32>(std::strlen(arg));
        if (a > 0)
            s.text.Append(' ');
        s.text.Append(arg, length);
        offsets.push_back(static_cast<uint32>(s.buffer.size()));
        s.buffer.insert(s.buffer.end(), arg, arg + length);
        s.buffer.push_back(0);
    }
    for (int a = 0; a < argc; ++a)
    {
        uint32 begin = offsets[a];
        s.tokens.push_back(
            StrView(s.buffer.data() + begin, static_cast<uint32>(std::strlen(s.buffer.data() + begin))));
    }
    BuildGroups(s);
}

bool CommandLine::HasSwitch(StrView name)
{
    for (const StrView& token : State().tokens)
        if (token == name)
            return true;
    return false;
}

bool CommandLine::GetSwitchValue(StrView name, StrView& out)
{
    const CommandLineState& s = State();
    for (const Group& group : s.groups)
    {
        if (group.count >= 2 && s.tokens[group.first] == name)
        {
            out = s.tokens[group.first + 1];
            return true;
        }
    }
    return false;
}

const StrView* CommandLine::GetTokens(uint32& count)
{
    count = static_cast<uint32>(State().tokens.size());
    return State().tokens.data();
}

const String& CommandLine::GetText()
{
    return State().text;
}

const CommandLine::Group* CommandLine::GetGroups(uint32& count)
{
    count = static_cast<uint32>(State().groups.size());
    return State().groups.data();
}
} // namespace Morvex
