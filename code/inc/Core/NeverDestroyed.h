#pragma once
// Storage for a process-wide object that is constant-initialised and never destroyed: objects of
// other translation units may still use it from their own destructors, which can run after its own
// would have in static destruction (registries that variables leave, allocators that free what
// statics hold).

namespace Morvex
{
template <typename T>
union NeverDestroyed
{
    constexpr NeverDestroyed() : value() {}
    template <typename... Args>
    constexpr explicit NeverDestroyed(Args... args) : value(args...)
    {
    }
    ~NeverDestroyed() {}
    T value;
};
} // namespace Morvex
