#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <coroutine>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace brivane {

// Awaitable: until `source` sends `signal` (the coroutine resumes from the event loop, as with
// QCoro's qCoro(object, signal, timeout)), `owner` is destroyed or `limit` passes. co_await yields
// true when the signal came.
//
// QCoro's own wait for a signal never ends when its object dies first, which leaves the waiting
// coroutine's frame, and everything it holds, behind for good. This one resumes the coroutine
// from `owner`'s destroyed(): its QPointers read null by then, which is what the code after the
// co_await checks before touching the object.
class SignalWait {
public:
    template <typename Source, typename Signal>
    SignalWait(Source* source, Signal signal, QObject* owner,
               std::optional<std::chrono::milliseconds> limit = std::nullopt)
        : state_(std::make_shared<State>()) {
        state_->source = source;
        state_->owner = owner;
        state_->limit = limit;
        state_->connect = [source, signal](State* state) {
            QObject::connect(
                source, signal, &state->timer, [state] { state->finish(true); },
                Qt::QueuedConnection);
        };
    }

    bool await_ready() const noexcept { return !state_->source || !state_->owner; }
    void await_suspend(std::coroutine_handle<> waiting) {
        State* state = state_.get();
        state->waiting = waiting;
        state->connect(state);
        QObject::connect(state->owner, &QObject::destroyed, &state->timer,
                         [state] { state->finish(false); });
        if (state->limit) {
            state->timer.setSingleShot(true);
            QObject::connect(&state->timer, &QTimer::timeout, &state->timer,
                             [state] { state->finish(false); });
            state->timer.start(*state->limit);
        }
    }
    bool await_resume() const noexcept { return state_->signalled; }

private:
    // Shared: GCC 12 copies an awaiter that is co_awaited by name.
    struct State {
        void finish(bool wasSignalled) {
            if (!waiting)
                return;
            signalled = wasSignalled;
            timer.stop();
            // The coroutine may end and free this state: nothing of it is used after the resume.
            std::exchange(waiting, {}).resume();
        }
        QPointer<QObject> source;
        QPointer<QObject> owner;
        std::optional<std::chrono::milliseconds> limit;
        std::function<void(State*)> connect;
        QTimer timer;
        bool signalled = false;
        std::coroutine_handle<> waiting;
    };
    std::shared_ptr<State> state_;
};

} // namespace brivane
