// The queue of work handed to the user-interface thread, the same on every
// system; each system's layer only supplies the wake-up (SignalWork) that ends
// its WaitForWork.
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/internal.h"
#include "platform/platform.h"

namespace os {
namespace {

// What HandOver's caller waits for.
struct Completion {
  bool finished = false;  // ran, or dropped by ShutDownHandOvers
  bool ran = false;
  std::exception_ptr failure;
};

struct QueuedWork {
  std::function<void()> work;
  std::shared_ptr<Completion> completion;  // none for Post's work
};

struct HandOverQueue {
  std::mutex mutex;
  std::condition_variable finished;
  std::vector<QueuedWork> items;
  // Whether items holds any, readable without the mutex: the waiting thread
  // looks at every turn of its loop, and mostly finds none.
  std::atomic<bool> queued{false};
  bool shutDown = false;
};

HandOverQueue& Queue() {
  static HandOverQueue queue;
  return queue;
}

bool Enqueue(std::function<void()> work, std::shared_ptr<Completion> completion) {
  HandOverQueue& q = Queue();
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    if (q.shutDown) return false;
    q.items.push_back({std::move(work), std::move(completion)});
    q.queued.store(true);
  }
  detail::SignalWork();
  return true;
}

}  // namespace

namespace detail {

bool HandOversPending() { return Queue().queued.load(); }

}  // namespace detail

bool RunHandOvers() {
  HandOverQueue& q = Queue();
  // An item queued just after this look wakes the thread's WaitForWork.
  if (!q.queued.load()) return false;
  std::vector<QueuedWork> batch;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    batch.swap(q.items);
    q.queued.store(false);
  }
  for (QueuedWork& item : batch) {
    std::exception_ptr failure;
    try {
      item.work();
    } catch (...) {
      failure = std::current_exception();
    }
    if (!item.completion) continue;  // Post's work: a failure goes no further
    {
      std::lock_guard<std::mutex> lock(q.mutex);
      item.completion->failure = failure;
      item.completion->ran = true;
      item.completion->finished = true;
    }
    q.finished.notify_all();
  }
  const bool ran = !batch.empty();
  // The batch's room takes the next items: a reply at every turn costs no allocation.
  batch.clear();
  std::lock_guard<std::mutex> lock(q.mutex);
  if (q.items.empty()) q.items.swap(batch);
  return ran;
}

bool HandOver(std::function<void()> work) {
  const auto completion = std::make_shared<Completion>();
  if (!Enqueue(std::move(work), completion)) return false;
  HandOverQueue& q = Queue();
  std::unique_lock<std::mutex> lock(q.mutex);
  q.finished.wait(lock, [&] { return completion->finished; });
  if (completion->failure) std::rethrow_exception(completion->failure);
  return completion->ran;
}

bool Post(std::function<void()> work) { return Enqueue(std::move(work), nullptr); }

void ShutDownHandOvers() {
  HandOverQueue& q = Queue();
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    q.shutDown = true;
    for (const QueuedWork& item : q.items) {
      if (item.completion) item.completion->finished = true;
    }
    q.items.clear();
    q.queued.store(false);
  }
  q.finished.notify_all();
}

}  // namespace os
