#pragma once
#include <utility>

#include "engine/common/TRefObject.h"

namespace bw {

// Owns one reference to a counted object. A copy takes a reference of its own; the last handle
// to let go deletes the object. Only objects made with `new` come in, through MakeRef or
// reset(T*), which take over the reference the new object starts with: an object on the stack
// keeps its reference in its scope and never enters a handle.
template <typename T>
class TRef {
 public:
  TRef() = default;
  TRef(const TRef& other) : object_(other.object_) {
    if (object_) object_->AddRef();
  }
  TRef(TRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  // The old object is released only once the new one is in place: an object that reports to
  // its owner while being destroyed finds the handle already moved on.
  TRef& operator=(TRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~TRef() { ReleaseRef(object_); }

  // Adopts `object`'s initial reference (none clears the handle).
  void reset(T* object = nullptr) { *this = TRef(object); }

  T* get() const { return object_; }
  T& operator*() const { return *object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit TRef(T* object) : object_(object) {}

  template <typename U, typename... Args>
  friend TRef<U> MakeRef(Args&&... args);

  T* object_ = nullptr;
};

// Creates a counted object held by the handle returned.
template <typename T, typename... Args>
TRef<T> MakeRef(Args&&... args) {
  return TRef<T>(new T(std::forward<Args>(args)...));
}

}  // namespace bw
