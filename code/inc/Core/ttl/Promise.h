#pragma once
// ttl::Promise<T>: a one-shot shared result, either a value or an ErrorCode with an optional
// message, with one continuation.
//
// Every copy of a Promise refers to the same state; the state is freed when the last copy goes,
// so the producer (the side that settles it) and the consumer (the side that attaches the
// continuation) may let go in any order. The result may be set once ("SetResult called twice"
// otherwise) and one continuation may be attached ("SetCallback called twice" otherwise). A
// continuation attached after the result runs at once on the attaching thread; one attached
// before runs on the thread that settles the promise, inside Resolve/Reject. Settling and
// attaching may happen on different threads; the continuation never runs under the state's lock.

#include "Core/Assert.h"
#include "Core/ErrorCode.h"
#include "Core/ttl/Function.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace Morvex::ttl
{
template <class T>
class Result
{
public:
    bool IsOk() const { return m_error == ErrorCode::OK; }
    // UNKNOWN until settled.
    ErrorCode GetError() const { return m_error; }
    // Empty when the rejection gave no message, and for a value.
    const char* GetMessage() const { return m_message.c_str(); }
    // Only valid when IsOk(); asserts otherwise and returns a value-initialised T.
    const T& GetValue() const
    {
        if (!MX_VERIFY(m_value.has_value()))
            return Empty();
        return *m_value;
    }

private:
    template <class U>
    friend class Promise;
    static const T& Empty()
    {
        static const T empty{};
        return empty;
    }

    ErrorCode m_error = ErrorCode::UNKNOWN;
    std::string m_message;
    std::optional<T> m_value;
};

template <class T>
class Promise
{
public:
    using Callback = Function<void(const Result<T>&)>;

    // An empty handle: every operation on it is an assertion failure and does nothing.
    Promise() = default;
    static Promise Create()
    {
        Promise p;
        p.m_state = new State();
        return p;
    }

    Promise(const Promise& other) : m_state(other.m_state)
    {
        if (m_state)
            m_state->refs.fetch_add(1, std::memory_order_relaxed);
    }
    Promise(Promise&& other) noexcept : m_state(std::exchange(other.m_state, nullptr)) {}
    Promise& operator=(Promise other) noexcept
    {
        std::swap(m_state, other.m_state);
        return *this;
    }
    ~Promise() { Release(); }

    bool IsValid() const { return m_state != nullptr; }
    bool IsSettled() const
    {
        if (!m_state)
            return false;
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_state->settled;
    }

    void Resolve(T value)
    {
        if (!MX_VERIFY(m_state != nullptr))
            return;
        Settle(ErrorCode::OK, nullptr, std::optional<T>(std::move(value)));
    }
    // Rejecting with ErrorCode::OK is an assertion failure; the promise is then left as it was.
    void Reject(ErrorCode e, const char* message = nullptr)
    {
        if (!MX_VERIFY(m_state != nullptr) || !MX_VERIFY(e != ErrorCode::OK))
            return;
        Settle(e, message, std::nullopt);
    }

    void SetCallback(Callback callback)
    {
        if (!MX_VERIFY(m_state != nullptr))
            return;
        bool runNow = false;
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            if (m_state->hasCallback)
            {
                MX_ASSERT_FAIL("SetCallback called twice");
                return;
            }
            m_state->hasCallback = true;
            if (m_state->settled)
                runNow = true;
            else
                m_state->callback = std::move(callback);
        }
        if (runNow && callback)
            callback(m_state->result);
    }

    // Null until settled. Valid while this handle holds the state.
    const Result<T>* GetResult() const
    {
        if (!m_state)
            return nullptr;
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_state->settled ? &m_state->result : nullptr;
    }

    // Lets go of the state (freed with the last handle); the handle becomes empty.
    void Release()
    {
        State* s = std::exchange(m_state, nullptr);
        if (s && s->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete s;
    }

private:
    struct State
    {
        std::atomic<uint32> refs{1};
        std::mutex mutex;
        bool settled = false;
        bool hasCallback = false;
        Result<T> result;
        Callback callback;
    };

    void Settle(ErrorCode e, const char* message, std::optional<T> value)
    {
        Callback callback;
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            if (m_state->settled)
            {
                MX_ASSERT_FAIL("SetResult called twice");
                return;
            }
            m_state->settled = true;
            m_state->result.m_error = e;
            if (message)
                m_state->result.m_message = message;
            m_state->result.m_value = std::move(value);
            callback = std::move(m_state->callback);
        }
        // The result is immutable from here on, so the continuation reads it without the lock.
        if (callback)
            callback(m_state->result);
    }

    State* m_state = nullptr;
};
} // namespace Morvex::ttl
