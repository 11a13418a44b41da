#include "Core/CmdStringList.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"

#include <cstring>

namespace Morvex
{
namespace
{
// The whole buffer is logged only at the first overflow of the process: later ones would repeat it.
bool GDumpOnOverflow = true;
} // namespace

void CmdStringList::CheckEmpty() const
{
    MX_ASSERT(IsEmpty());
}

int32 CmdStringList::AllocSlot()
{
    if (m_numFreeSlots == 0)
        return kOnHeap;
    // The first free slot at or after the one released last, wrapping at the end: in the common
    // push/pop pattern it is found at once. Whole words of the map are tested at a time; the fifth
    // step looks at the bits before the start in the first word.
    constexpr uint32 kWords = kNumPreallocStrings / 64;
    uint32 start = m_lastReleasedSlot % kNumPreallocStrings;
    uint32 startBit = start % 64;
    for (uint32 step = 0; step <= kWords; ++step)
    {
        uint32 wordIndex = (start / 64 + step) % kWords;
        uint64 word = m_freeMap[wordIndex];
        if (step == 0)
            word &= ~0ull << startBit;
        else if (step == kWords)
            word &= startBit == 0 ? 0 : (1ull << startBit) - 1;
        if (word != 0)
        {
            uint32 bit = static_cast<uint32>(__builtin_ctzll(word));
            m_freeMap[wordIndex] &= ~(1ull << bit);
            --m_numFreeSlots;
            return static_cast<int32>(wordIndex * 64 + bit);
        }
    }
    return kOnHeap;
}

void CmdStringList::FreeSlot(int32 slot)
{
    uint32 s = static_cast<uint32>(slot);
    m_freeMap[s / 64] |= 1ull << (s % 64);
    ++m_numFreeSlots;
    m_lastReleasedSlot = s;
}

bool CmdStringList::Insert(const char* text, uint32 length, bool atFront)
{
    if (text == nullptr)
        length = 0;
    if (m_numStrings >= kMaxStrings || m_freeNodes == kNone)
    {
        uint32 shown = length < 256 ? length : 256;
        MX_LOG_WARNING("CmdStringList::Insert: too many strings in the buffer, ignoring '%.*s'",
                       static_cast<int>(shown), text != nullptr ? text : "");
        DumpOnFirstOverflow();
        return false;
    }

    char* copy;
    int32 slot = kOnHeap;
    if (length <= kMaxPreallocStrLength)
        slot = AllocSlot();
    if (slot != kOnHeap)
        copy = m_preallocStrings[slot];
    else
    {
        MX_MEMORY_TAG_SCOPE("Core");
        copy = static_cast<char*>(Memory::Alloc(static_cast<size_t>(length) + 1, 1));
    }
    if (length > 0)
        std::memcpy(copy, text, length);
    copy[length] = 0;

    uint16 index = m_freeNodes;
    Node& node = m_nodes[index];
    m_freeNodes = node.next;
    node.text = copy;
    node.length = length;
    node.offset = 0;
    node.slot = static_cast<int16>(slot);
    if (atFront)
    {
        node.prev = kNone;
        node.next = m_head;
        if (m_head != kNone)
            m_nodes[m_head].prev = index;
        m_head = index;
        if (m_tail == kNone)
            m_tail = index;
    }
    else
    {
        node.next = kNone;
        node.prev = m_tail;
        if (m_tail != kNone)
            m_nodes[m_tail].next = index;
        m_tail = index;
        if (m_head == kNone)
            m_head = index;
    }
    ++m_numStrings;
    return true;
}

void CmdStringList::DumpOnFirstOverflow() const
{
    if (!GDumpOnOverflow)
        return;
    GDumpOnOverflow = false;
    MX_LOG_WARNING("Since it's the first time we encounter this, I'll log the whole command buffer here:");
    int32 i = 0;
    for (uint16 n = m_head; n != kNone; n = m_nodes[n].next, ++i)
        MX_LOG_WARNING("    %d: %s", i, m_nodes[n].text + m_nodes[n].offset);
}

StrView CmdStringList::Front() const
{
    if (m_head == kNone)
        return StrView();
    const Node& node = m_nodes[m_head];
    return StrView(node.text + node.offset, node.length - node.offset);
}

void CmdStringList::ConsumeFront(uint32 count)
{
    if (m_head == kNone)
        return;
    Node& node = m_nodes[m_head];
    uint32 remaining = node.length - node.offset;
    if (count >= remaining)
    {
        PopFront();
        return;
    }
    node.offset += count;
}

void CmdStringList::FreeNode(uint16 index)
{
    Node& node = m_nodes[index];
    if (node.slot != kOnHeap)
        FreeSlot(node.slot);
    else
        Memory::Free(node.text, static_cast<size_t>(node.length) + 1);
    node = Node{};
    node.next = m_freeNodes;
    m_freeNodes = index;
    --m_numStrings;
}

void CmdStringList::PopFront()
{
    if (m_head == kNone)
        return;
    uint16 index = m_head;
    m_head = m_nodes[index].next;
    if (m_head != kNone)
        m_nodes[m_head].prev = kNone;
    else
        m_tail = kNone;
    FreeNode(index);
}

void CmdStringList::Clear()
{
    while (m_head != kNone)
        PopFront();
}

const CmdStringList::Node* CmdStringList::NodeAt(uint32 index) const
{
    uint16 n = m_head;
    for (uint32 i = 0; n != kNone && i < index; ++i)
        n = m_nodes[n].next;
    return n != kNone ? &m_nodes[n] : nullptr;
}

StrView CmdStringList::Get(uint32 index) const
{
    const Node* node = NodeAt(index);
    return node != nullptr ? StrView(node->text + node->offset, node->length - node->offset) : StrView();
}

bool CmdStringList::IsInSlot(uint32 index) const
{
    const Node* node = NodeAt(index);
    return node != nullptr && node->slot != kOnHeap;
}
} // namespace Morvex
