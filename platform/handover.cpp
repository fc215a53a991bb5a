// The queue of work handed to the user-interface thread, the same on every
// system; each system's layer only supplies the wake-up (SignalWork) that ends
// its WaitForWork.
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
  }
  detail::SignalWork();
  return item;
}

}  // namespace

namespace detail {

bool HandOversPending() {
  HandOverQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.mutex);
  return !q.items.empty();
}

}  // namespace detail

bool RunHandOvers() {
  HandOverQueue& q = Queue();
  std::vector<std::shared_ptr<HandOverItem>> batch;  // empty, it costs no allocation
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    batch.swap(q.items);
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
  }
  q.finished.notify_all();
}

}  // namespace os
