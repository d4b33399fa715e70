// Shared borrows of the native record inside a Python instance.
//
// Every instance of PyGraph and PyRouteResult carries a borrow counter: 0 when
// free, n while n shared borrows are held, all ones for an exclusive borrow.
// Nothing in this module takes the exclusive borrow (neither record changes
// after it is built), so a shared borrow never fails here; the counter still
// makes every reader announce itself, which keeps a future writer honest.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "bindings/error_value.hpp"
#include "bindings/python.hpp"

namespace velorin::py {

class BorrowCounter {
 public:
  static constexpr std::uintptr_t kExclusive = UINTPTR_MAX;

  // Adds one shared borrow unless the record is borrowed exclusively. The
  // loop retries when another thread changed the count between read and write.
  bool try_share() noexcept {
    std::uintptr_t current = count_.load();
    do {
      if (current == kExclusive) return false;
    } while (!count_.compare_exchange_weak(current, current + 1));
    return true;
  }
  void release_share() noexcept { count_.fetch_sub(1); }
  std::uintptr_t count() const noexcept { return count_.load(); }

 private:
  std::atomic<std::uintptr_t> count_{0};
};

// A shared borrow of one instance, together with a strong reference that keeps
// the instance alive while its record is read. Instance is a struct whose
// first member is the PyObject header and which has a `borrow` counter.
template <class Instance>
class SharedBorrow {
 public:
  // `object` must already be known to be an Instance.
  static Result<SharedBorrow> take(PyObject* object) {
    auto* instance = reinterpret_cast<Instance*>(object);
    // Kept word for word: callers match on this text.
    if (!instance->borrow.try_share())
      return ErrorValue::pending(PyExc_RuntimeError, "Already mutably borrowed");
    Py_INCREF(object);
    return SharedBorrow(instance);
  }

  SharedBorrow(SharedBorrow&& other) noexcept
      : instance_(std::exchange(other.instance_, nullptr)) {}
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  SharedBorrow(const SharedBorrow&) = delete;
  ~SharedBorrow() {
    if (instance_ == nullptr) return;
    // Give the borrow back before the reference: dropping the reference may
    // deallocate the instance and with it the counter.
    instance_->borrow.release_share();
    Py_DECREF(reinterpret_cast<PyObject*>(instance_));
  }

  const Instance& operator*() const noexcept { return *instance_; }
  const Instance* operator->() const noexcept { return instance_; }

 private:
  explicit SharedBorrow(Instance* instance) noexcept : instance_(instance) {}
  Instance* instance_;
};

}  // namespace velorin::py
