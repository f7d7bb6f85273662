#include "base/MessageQueue.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace sio {

IMessageQueue& DefaultMessageQueue();  // SioMisc: the queue without a toolkit

namespace {
std::atomic<IMessageQueue*> g_queue{nullptr};
std::mutex g_reporterLock;
TExceptionReporter g_reporter;
}  // namespace

IMessageQueue& MessageQueue()
{
    IMessageQueue* q = g_queue.load(std::memory_order_acquire);
    return q ? *q : DefaultMessageQueue();
}

void SetMessageQueue(IMessageQueue* queue) { g_queue.store(queue, std::memory_order_release); }

void SetExceptionReporter(TExceptionReporter reporter)
{
    std::lock_guard lock(g_reporterLock);
    g_reporter = std::move(reporter);
}

void ReportException(std::exception_ptr error)
{
    TExceptionReporter reporter;
    {
        std::lock_guard lock(g_reporterLock);
        reporter = g_reporter;
    }
    if (reporter) {
        // A report that fails itself must not escape: it would leave the
        // message being handled unfinished and its sender waiting for ever.
        try {
            reporter(error);
            return;
        } catch (...) {
        }
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "unknown exception\n");
    }
}

}  // namespace sio
