#pragma once
#include <type_traits>
#include <utility>

#include "engine/common/TRefObject.h"

namespace bw {

// Owns one reference to a counted object. A copy takes a reference of its own; the last handle
// to let go deletes the object. New objects come in through MakeRef or reset(T*), which take over
// the reference the new object starts with; Share gives a further handle on an object that
// another handle already holds: an object on the stack keeps its reference in its scope and is
// never deleted by a handle.
template <typename T>
class TRef {
 public:
  TRef() = default;
  TRef(const TRef& other) : object_(other.object_) {
    if (object_) object_->AddRef();
  }
  TRef(TRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  // A handle on a derived class hands its reference to a handle on the base.
  template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  TRef(TRef<U>&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  // The old object is released only once the new one is in place: an object that reports to
  // its owner while being destroyed finds the handle already moved on.
  TRef& operator=(TRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~TRef() { ReleaseRef(object_); }

  // A further handle on an object already held elsewhere (none for null).
  static TRef Share(T* object) {
    if (object) object->AddRef();
    return TRef(object);
  }

  // Adopts `object`'s initial reference (none clears the handle).
  void reset(T* object = nullptr) { *this = TRef(object); }

  T* get() const { return object_; }
  T& operator*() const { return *object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  friend bool operator==(const TRef& a, const TRef& b) { return a.object_ == b.object_; }
  friend bool operator==(const TRef& a, const T* b) { return a.object_ == b; }

 private:
  explicit TRef(T* object) : object_(object) {}

  template <typename U>
  friend class TRef;
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
