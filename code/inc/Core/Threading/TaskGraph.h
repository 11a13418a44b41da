#pragma once
// Task graph with named worker threads. Not started in this program: the kernel's shutdown step
// finds nothing to stop.

namespace Morvex
{
namespace TaskGraph
{
void Invalidate();
} // namespace TaskGraph
} // namespace Morvex
