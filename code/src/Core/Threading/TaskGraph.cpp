// Inert until the task graph lands: nothing is started, so there is nothing to stop.

#include "Core/Threading/TaskGraph.h"

namespace Morvex
{
void TaskGraph::Invalidate()
{
}
} // namespace Morvex
