#pragma once
#include <cstdint>

namespace bw {

// Reference-counted base of the objects a task shares among its parts (identities, the piece
// map, peer objects). A new object carries the creator's reference; the last Release deletes it.
// Counts are plain integers: such objects are shared only on one task's thread.
class TRefObject {
 public:
  TRefObject() = default;
  // A copy is a new object with a reference of its own.
  TRefObject(const TRefObject&) {}
  TRefObject& operator=(const TRefObject&) { return *this; }
  virtual ~TRefObject() = default;

  virtual void AddRef();
  virtual void Release();
  virtual int32_t RefCount() const;

 private:
  int32_t refCount_ = 1;
};

// Releases *object if set and clears the pointer.
template <typename T>
void ReleaseRef(T*& object) {
  if (object) {
    T* held = object;
    object = nullptr;
    held->Release();
  }
}

}  // namespace bw
