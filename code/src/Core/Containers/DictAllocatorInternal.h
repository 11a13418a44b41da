#pragma once
// The dictionary's storage, shared by the dictionary's sources. Thread-safe.

#include "Core/Types.h"

namespace Morvex
{
class DictValue;
struct DictEntry;

namespace DictStorage
{
// Capacities above this would overflow the 32-bit size fields on the next step.
constexpr uint32 kMaxCapacity = 0x7FFFFC00u;

// Storage for one Dict or DictArray object (construct in place; free after destruction).
void* AllocDict();
void FreeDict(void* p);
void* AllocArray();
void FreeArray(void* p);

// Blocks of `capacity` default-constructed elements; a block from the cache keeps its (empty)
// elements. Blocks handed back must hold only empty elements (keys "", values of no type).
DictEntry* AllocEntries(uint32 capacity);
void FreeEntries(DictEntry* entries);
DictValue* AllocValues(uint32 capacity);
void FreeValues(DictValue* values);

// The growth schedule: the next capacity after `capacity`, and the smallest capacity for n elements.
uint32 NextCapacity(uint32 capacity);
uint32 CapacityFor(uint32 n);
} // namespace DictStorage
} // namespace Morvex
