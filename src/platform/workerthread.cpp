#include "platform/workerthread.h"

#include <QEventLoop>

#include <latch>

#include <pthread.h>

WorkerThread::WorkerThread(const QString& name, std::function<void()> atExit)
{
    std::latch ready(1);
    m_thread = std::thread([this, &ready, threadName = name.toUtf8().left(15), atExit = std::move(atExit)] {
        pthread_setname_np(pthread_self(), threadName.constData());
        QEventLoop loop;
        {
            QObject context;
            m_loop = &loop;
            m_context = &context;
            ready.count_down();
            loop.exec();
            // Objects parented to the context go here, on their own thread.
        }
        if (atExit)
            atExit();
    });
    // The thread only creates its loop before it counts down: a wait of microseconds.
    ready.wait();
}

WorkerThread::~WorkerThread()
{
    // Quitting is queued behind the jobs already posted.
    QMetaObject::invokeMethod(
        m_context, [loop = m_loop] { loop->quit(); }, Qt::QueuedConnection);
    m_thread.join();
}

void WorkerThread::post(std::function<void()> job)
{
    QMetaObject::invokeMethod(m_context, std::move(job), Qt::QueuedConnection);
}
