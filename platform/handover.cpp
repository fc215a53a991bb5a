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

struct HandOverItem {
  std::function<void()> work;
  bool finished = false;  // ran, or dropped by ShutDownHandOvers
  bool ran = false;
  std::exception_ptr failure;
};

struct HandOverQueue {
  std::mutex mutex;
  std::condition_variable finished;
  std::vector<std::shared_ptr<HandOverItem>> items;
  // Whether items holds any, readable without the mutex: the waiting thread
  // looks at every turn of its loop, and mostly finds none.
  std::atomic<bool> queued{false};
  bool shutDown = false;
};

HandOverQueue& Queue() {
  static HandOverQueue queue;
  return queue;
}

std::shared_ptr<HandOverItem> Enqueue(std::function<void()> work) {
  HandOverQueue& q = Queue();
  auto item = std::make_shared<HandOverItem>();
  item->work = std::move(work);
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    if (q.shutDown) return nullptr;
    q.items.push_back(item);
    q.queued.store(true);
  }
  detail::SignalWork();
  return item;
}

}  // namespace

namespace detail {

bool HandOversPending() { return Queue().queued.load(); }

}  // namespace detail

bool RunHandOvers() {
  HandOverQueue& q = Queue();
  // An item queued just after this look wakes the thread's WaitForWork.
  if (!q.queued.load()) return false;
  std::vector<std::shared_ptr<HandOverItem>> batch;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    batch.swap(q.items);
    q.queued.store(false);
  }
  for (const auto& item : batch) {
    try {
      item->work();
    } catch (...) {
      item->failure = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(q.mutex);
      item->ran = true;
      item->finished = true;
    }
    q.finished.notify_all();
  }
  return !batch.empty();
}

bool HandOver(std::function<void()> work) {
  const std::shared_ptr<HandOverItem> item = Enqueue(std::move(work));
  if (!item) return false;
  HandOverQueue& q = Queue();
  std::unique_lock<std::mutex> lock(q.mutex);
  q.finished.wait(lock, [&] { return item->finished; });
  if (item->failure) std::rethrow_exception(item->failure);
  return item->ran;
}

bool Post(std::function<void()> work) { return Enqueue(std::move(work)) != nullptr; }

void ShutDownHandOvers() {
  HandOverQueue& q = Queue();
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    q.shutDown = true;
    for (const auto& item : q.items) item->finished = true;
    q.items.clear();
    q.queued.store(false);
  }
  q.finished.notify_all();
}

}  // namespace os
