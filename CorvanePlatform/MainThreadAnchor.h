#pragma once

// A weak handle on a main-thread object for background threads. post() queues
// a call to the object on its own thread; once the object has released the
// anchor (in its destructor) posts do nothing. Queued calls still pending
// when the object goes are dropped by Qt with it.

#include <QMetaObject>
#include <QObject>

#include <functional>
#include <memory>
#include <mutex>

namespace corvane::platform {

template <class T> class MainThreadAnchor {
public:
    static std::shared_ptr<MainThreadAnchor> make(T *object) { return std::make_shared<MainThreadAnchor>(object); }
    explicit MainThreadAnchor(T *object)
        : object_(object)
    {
    }

    void post(std::function<void(T &)> step)
    {
        std::lock_guard lock(mutex_);
        if (!object_)
            return;
        T *target = object_;
        QMetaObject::invokeMethod(
            target, [target, step = std::move(step)] { step(*target); }, Qt::QueuedConnection);
    }

    void release()
    {
        std::lock_guard lock(mutex_);
        object_ = nullptr;
    }

private:
    std::mutex mutex_;
    T *object_;
};

} // namespace corvane::platform
