// System worker threads and the work items queued to them.
#include <deque>
#include <unordered_set>

#include "internal.h"

struct _IO_WORKITEM {
    WORK_QUEUE_ITEM Item;
    PDEVICE_OBJECT DeviceObject;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
};

namespace kernel {
namespace {

struct WorkQueue {
    sched::Object ready{};  // counts queued items
    std::deque<PWORK_QUEUE_ITEM> items;
    std::vector<sched::Thread*> threads;
};

WorkQueue g_queues[2];  // critical (and hyper-critical), delayed
std::unordered_set<PWORK_QUEUE_ITEM> g_queued;
int g_running = 0;  // routines being run; under the registry lock
bool g_stopping = false;

WorkQueue& QueueOf(WORK_QUEUE_TYPE type) { return g_queues[type == DelayedWorkQueue ? 1 : 0]; }

void WorkerLoop(WorkQueue* queue) {
    for (;;) {
        sched::WaitOne(&queue->ready, sched::kForever, "system worker queue");
        PWORK_QUEUE_ITEM item;
        {
            detail::Guard g(detail::RegistryLock());
            if (queue->items.empty()) {
                if (g_stopping) return;
                continue;
            }
            item = queue->items.front();
            queue->items.pop_front();
            g_queued.erase(item);
            ++g_running;
        }
        PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
        routine(item->Parameter);
        {
            detail::Guard g(detail::RegistryLock());
            --g_running;
        }
        if (detail::Irql() != PASSIVE_LEVEL) {
            Fault("work item routine %p returned at IRQL %u", reinterpret_cast<void*>(routine), detail::Irql());
            detail::Irql() = PASSIVE_LEVEL;
        }
    }
}

VOID IoWorkItemRoutine(PVOID parameter) {
    auto* item = static_cast<PIO_WORKITEM>(parameter);
    // The routine may free the work item; nothing of it is read afterwards.
    PDEVICE_OBJECT device = item->DeviceObject;
    item->Routine(device, item->Context);
    ObDereferenceObject(device);
}

}  // namespace

bool WorkQueuesIdle(sched::Time limit) {
    sched::Time deadline = sched::DeadlineAfter(limit);
    for (;;) {
        {
            detail::Guard g(detail::RegistryLock());
            if (g_queued.empty() && g_running == 0) return true;
        }
        if (sched::Now() >= deadline) return false;
        sched::Sleep(sched::kMillisecond);
    }
}

namespace detail {

void StartWorkers(const BootOptions& options) {
    g_stopping = false;
    const char* names[2] = {"critical worker", "delayed worker"};
    int counts[2] = {options.critical_workers, options.delayed_workers};
    for (int q = 0; q < 2; ++q) {
        sched::InitSemaphore(&g_queues[q].ready, 0, INT32_MAX);
        for (int i = 0; i < counts[q]; ++i)
            g_queues[q].threads.push_back(sched::Start(names[q], [q] { WorkerLoop(&g_queues[q]); }, true));
    }
}

void StopWorkers() {
    {
        Guard g(RegistryLock());
        g_stopping = true;
    }
    for (WorkQueue& queue : g_queues) {
        if (!queue.threads.empty())
            sched::ReleaseSemaphore(&queue.ready, static_cast<std::int32_t>(queue.threads.size()), nullptr);
        for (sched::Thread* t : queue.threads) sched::Join(t);
        queue.threads.clear();
        std::size_t left = queue.items.size();
        if (left) Fault("%zu work items were still queued at shutdown", left);
        queue.items.clear();
    }
    g_queued.clear();
}

}  // namespace detail
}  // namespace kernel

using namespace kernel;

VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
    if (detail::Irql() > DISPATCH_LEVEL) Fault("ExQueueWorkItem at IRQL %u", detail::Irql());
    WorkQueue& queue = QueueOf(QueueType);
    enum { Queued, NotRunning, Twice } outcome = Queued;
    {
        detail::Guard g(detail::RegistryLock());
        if (g_stopping || queue.threads.empty()) {
            outcome = NotRunning;
        } else if (!g_queued.insert(WorkItem).second) {
            outcome = Twice;
        } else {
            queue.items.push_back(WorkItem);
        }
    }
    if (outcome == NotRunning) return Fault("ExQueueWorkItem while the kernel is not running");
    if (outcome == Twice) return Fault("work item %p queued again before it ran", static_cast<void*>(WorkItem));
    sched::ReleaseSemaphore(&queue.ready, 1, nullptr);
}

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    auto* item = static_cast<PIO_WORKITEM>(
        detail::Allocate(NonPagedPool, sizeof(_IO_WORKITEM), detail::MakeTag("IoWk"), "IoAllocateWorkItem"));
    if (!item) return nullptr;
    *item = _IO_WORKITEM{};
    item->DeviceObject = DeviceObject;
    return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    bool queued;
    {
        detail::Guard g(detail::RegistryLock());
        queued = g_queued.count(&IoWorkItem->Item) != 0;
    }
    if (queued) return Fault("IoFreeWorkItem of %p while it is queued", static_cast<void*>(IoWorkItem));
    detail::Free(IoWorkItem, "IoFreeWorkItem");
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
    ObReferenceObject(IoWorkItem->DeviceObject);  // the device stays while the item waits
    IoWorkItem->Routine = WorkerRoutine;
    IoWorkItem->Context = Context;
    ExInitializeWorkItem(&IoWorkItem->Item, IoWorkItemRoutine, IoWorkItem);
    ExQueueWorkItem(&IoWorkItem->Item, QueueType);
}
