#pragma once
// ttl::Function<R(Args...)>: a move-only callable. Callables of up to kInlineSize bytes (and no
// stricter alignment than a pointer pair) live inside the object; larger ones are placed on the
// global heap. An empty Function (default-constructed or moved-from) must not be called: operator
// bool tells. Not synchronised.

#include "Core/Assert.h"
#include "Core/Memory/Memory.h"

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace Morvex::ttl
{
template <class Signature>
class Function;

template <class R, class... Args>
class Function<R(Args...)>
{
public:
    static constexpr size_t kInlineSize = 48;

    Function() = default;
    Function(std::nullptr_t) {}

    template <class F, class D = std::decay_t<F>,
              class = std::enable_if_t<!std::is_same_v<D, Function> && std::is_invocable_r_v<R, D&, Args...>>>
    Function(F&& f)
    {
        if constexpr (kFitsInline<D>)
        {
            ::new (static_cast<void*>(m_storage)) D(std::forward<F>(f));
            m_ops = &kInlineOps<D>;
        }
        else
        {
            void* mem = Memory::Alloc(sizeof(D), alignof(D) > 16 ? alignof(D) : 16);
            *reinterpret_cast<D**>(m_storage) = ::new (mem) D(std::forward<F>(f));
            m_ops = &kHeapOps<D>;
        }
    }

    Function(Function&& other) noexcept { MoveFrom(other); }
    Function& operator=(Function&& other) noexcept
    {
        if (this != &other)
        {
            Reset();
            MoveFrom(other);
        }
        return *this;
    }
    Function& operator=(std::nullptr_t)
    {
        Reset();
        return *this;
    }
    Function(const Function&) = delete;
    Function& operator=(const Function&) = delete;
    ~Function() { Reset(); }

    explicit operator bool() const { return m_ops != nullptr; }

    // Calling an empty Function is an assertion failure; it then returns a value-initialised R.
    R operator()(Args... args)
    {
        if (!MX_VERIFY_MSG(m_ops != nullptr, "empty ttl::Function called"))
        {
            if constexpr (!std::is_void_v<R>)
                return R{};
            else
                return;
        }
        return m_ops->invoke(m_storage, std::forward<Args>(args)...);
    }

    void Reset()
    {
        if (m_ops)
        {
            m_ops->destroy(m_storage);
            m_ops = nullptr;
        }
    }

private:
    struct Ops
    {
        R (*invoke)(void* storage, Args&&... args);
        void (*move)(void* dst, void* src); // leaves src destroyed
        void (*destroy)(void* storage);
    };

    template <class D>
    static constexpr bool
        kFitsInline = sizeof(D) <= kInlineSize &&
                      alignof(D) <= alignof(std::max_align_t) && std::is_nothrow_move_constructible_v<D>;

    template <class D>
    static constexpr Ops kInlineOps = {
        [](void* s, Args&&... args) -> R { return (*static_cast<D*>(s))(std::forward<Args>(args)...); },
        [](void* dst, void* src)
        {
            ::new (dst) D(std::move(*static_cast<D*>(src)));
            static_cast<D*>(src)->~D();
        },
        [](void* s) { static_cast<D*>(s)->~D(); },
    };

    template <class D>
    static constexpr Ops kHeapOps = {
        [](void* s, Args&&... args) -> R { return (**static_cast<D**>(s))(std::forward<Args>(args)...); },
        [](void* dst, void* src) { *static_cast<D**>(dst) = *static_cast<D**>(src); },
        [](void* s)
        {
            D* p = *static_cast<D**>(s);
            p->~D();
            Memory::Free(p, sizeof(D));
        },
    };

    void MoveFrom(Function& other)
    {
        if (other.m_ops)
        {
            other.m_ops->move(m_storage, other.m_storage);
            m_ops = other.m_ops;
            other.m_ops = nullptr;
        }
    }

    alignas(std::max_align_t) unsigned char m_storage[kInlineSize];
    const Ops* m_ops = nullptr;
};
} // namespace Morvex::ttl
