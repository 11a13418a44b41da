#pragma once
// The command system's deferred buffer: an ordered list of pending script texts. Up to kMaxStrings
// texts are kept without heap use for list nodes; texts of at most kMaxPreallocStrLength characters
// go into preallocated slots, longer ones (and short ones when every slot is taken) onto the heap.
// Not synchronised (the command system runs on the main thread).

#include "Core/StrView.h"
#include "Core/Types.h"

namespace Morvex
{
class CmdStringList
{
public:
    static constexpr uint32 kMaxStrings = 512;
    static constexpr uint32 kMaxPreallocStrLength = 128;
    static constexpr uint32 kNumPreallocStrings = 256;

    constexpr CmdStringList()
    {
        for (uint32 i = 0; i < kMaxStrings; ++i)
            m_nodes[i].next = static_cast<uint16>(i + 1 < kMaxStrings ? i + 1 : kNone);
        for (uint64& word : m_freeMap)
            word = ~0ull;
    }
    ~CmdStringList() { Clear(); }
    CmdStringList(const CmdStringList&) = delete;
    CmdStringList& operator=(const CmdStringList&) = delete;

    // Copies `length` characters of text (null counts as empty) and NUL-terminates the copy, at the
    // back or the front of the list. With kMaxStrings texts pending the text is dropped with a
    // warning (the first time in the process the whole buffer is logged too) and false returned.
    bool Insert(const char* text, uint32 length, bool atFront);
    bool PushBack(const char* text, uint32 length) { return Insert(text, length, false); }
    bool PushFront(const char* text, uint32 length) { return Insert(text, length, true); }

    bool IsEmpty() const { return m_numStrings == 0; }
    // Asserts "IsEmpty()".
    void CheckEmpty() const;
    uint32 GetNumStrings() const { return m_numStrings; }
    // What is left of the first pending text; empty when the list is empty. NUL-terminated. Valid
    // until the list changes.
    StrView Front() const;
    // Removes `count` characters from the front of the first text, and the text itself once nothing
    // of it remains.
    void ConsumeFront(uint32 count);
    void PopFront();
    void Clear();

    // The index-th pending text from the front (for diagnostics); empty past the end.
    StrView Get(uint32 index) const;
    uint32 GetNumFreeSlots() const { return m_numFreeSlots; }
    // True when the index-th pending text lives in a preallocated slot (diagnostics and tests).
    bool IsInSlot(uint32 index) const;

private:
    static constexpr uint16 kNone = 0xFFFF;
    static constexpr int16 kOnHeap = -1;

    struct Node
    {
        char* text = nullptr;
        uint32 length = 0;
        uint32 offset = 0; // characters already consumed from the front
        int16 slot = kOnHeap;
        uint16 prev = kNone;
        uint16 next = kNone;
    };

    int32 AllocSlot();
    void FreeSlot(int32 slot);
    void FreeNode(uint16 index);
    const Node* NodeAt(uint32 index) const;
    void DumpOnFirstOverflow() const;

    Node m_nodes[kMaxStrings] = {};
    uint16 m_head = kNone;
    uint16 m_tail = kNone;
    uint16 m_freeNodes = 0;
    uint32 m_numStrings = 0;
    char m_preallocStrings[kNumPreallocStrings][kMaxPreallocStrLength + 1] = {};
    uint64 m_freeMap[kNumPreallocStrings / 64] = {}; // set bit: slot free
    uint32 m_numFreeSlots = kNumPreallocStrings;
    uint32 m_lastReleasedSlot = 0;
};
} // namespace Morvex
