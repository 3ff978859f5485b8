#pragma once

#include <QFuture>
#include <QObject>
#include <QPromise>
#include <QString>

#include <functional>
#include <memory>
#include <thread>
#include <type_traits>

// A thread of our own that runs a Qt event loop. The destructor stops the loop and joins the thread: when
// it returns, the thread has ended for good, thread-local objects included (QThread::wait() returns
// before a detached thread has finished ending). Jobs posted before the destructor still run; a job that
// is running then is waited for, so jobs must end by themselves within a bounded time.
class QEventLoop;

class WorkerThread final {
public:
    // atExit runs on the thread after its last job, before it ends: the place to release what the
    // thread's jobs created there.
    explicit WorkerThread(const QString& name, std::function<void()> atExit = {});
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Lives on the thread: a parent for objects that must live there too.
    QObject* context() const { return m_context; }

    // Runs job on the thread; the future carries its result (cancelled when the thread ends first).
    template <typename Job> QFuture<std::invoke_result_t<Job>> run(Job job)
    {
        using Result = std::invoke_result_t<Job>;
        auto promise = std::make_shared<QPromise<Result>>();
        promise->start();
        QFuture<Result> future = promise->future();
        post([promise, job = std::move(job)]() mutable {
            if constexpr (std::is_void_v<Result>)
                job();
            else
                promise->addResult(job());
            promise->finish();
        });
        return future;
    }

    void post(std::function<void()> job);

private:
    std::thread m_thread;
    QEventLoop* m_loop = nullptr; // lives on the thread
    QObject* m_context = nullptr;
};
