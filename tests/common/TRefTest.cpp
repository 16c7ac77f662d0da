#include "engine/common/TRef.h"

#include <gtest/gtest.h>

#include <utility>

namespace bw {
namespace {

// Counts its deletions and notes what its owner's handle held while it was being deleted.
class Tracked : public TRefObject {
 public:
  Tracked(int* deleted, TRef<Tracked>* owner = nullptr) : deleted_(deleted), owner_(owner) {}
  ~Tracked() override {
    ++*deleted_;
    if (owner_) heldWhileDeleted = owner_->get();
  }

  static inline Tracked* heldWhileDeleted = nullptr;

 private:
  int* deleted_;
  TRef<Tracked>* owner_;
};

TEST(TRef, AdoptsTheNewObjectsReferenceAndDeletesOnce) {
  int deleted = 0;
  {
    TRef<Tracked> held = MakeRef<Tracked>(&deleted);
    ASSERT_TRUE(held);
    EXPECT_EQ(held->RefCount(), 1);
  }
  EXPECT_EQ(deleted, 1);
}

TEST(TRef, CopiesShareAndTheLastToLetGoDeletes) {
  int deleted = 0;
  TRef<Tracked> first = MakeRef<Tracked>(&deleted);
  Tracked* object = first.get();
  TRef<Tracked> second = first;
  TRef<Tracked> third;
  third = second;
  EXPECT_EQ(object->RefCount(), 3);
  EXPECT_EQ(&*third, object);

  const TRef<Tracked>& same = third;
  third = same;  // self-assignment keeps the count
  EXPECT_EQ(object->RefCount(), 3);

  first.reset();
  second = TRef<Tracked>();
  EXPECT_FALSE(first);
  EXPECT_EQ(deleted, 0);
  EXPECT_EQ(object->RefCount(), 1);
  third.reset();
  EXPECT_EQ(deleted, 1);
}

TEST(TRef, MovesHandOverTheReferenceWithoutCounting) {
  int deleted = 0;
  TRef<Tracked> first = MakeRef<Tracked>(&deleted);
  Tracked* object = first.get();
  TRef<Tracked> second = std::move(first);
  EXPECT_FALSE(first);
  TRef<Tracked> third;
  third = std::move(second);
  EXPECT_FALSE(second);
  EXPECT_EQ(third.get(), object);
  EXPECT_EQ(object->RefCount(), 1);

  // Moving onto a handle that holds another object releases that one.
  int otherDeleted = 0;
  TRef<Tracked> other = MakeRef<Tracked>(&otherDeleted);
  other = std::move(third);
  EXPECT_EQ(otherDeleted, 1);
  EXPECT_EQ(deleted, 0);
  other.reset();
  EXPECT_EQ(deleted, 1);
}

// The former object may call back into its owner while it goes: by then the handle holds its
// successor, never the object being deleted.
TEST(TRef, ReplacedObjectGoesAfterTheHandleMovedOn) {
  int deleted = 0;
  TRef<Tracked> owner;
  owner.reset(new Tracked(&deleted, &owner));
  Tracked* successor = new Tracked(&deleted);
  owner.reset(successor);
  EXPECT_EQ(deleted, 1);
  EXPECT_EQ(Tracked::heldWhileDeleted, successor);

  owner = MakeRef<Tracked>(&deleted, &owner);
  EXPECT_EQ(deleted, 2);
  owner.reset();
  EXPECT_EQ(deleted, 3);
  EXPECT_EQ(Tracked::heldWhileDeleted, nullptr);
}

// A further handle on an object another handle holds counts itself; a handle on a derived class
// hands its reference over to one on the base.
TEST(TRef, ShareCountsAndDerivedHandlesBecomeBaseHandles) {
  int deleted = 0;
  TRef<Tracked> owner = MakeRef<Tracked>(&deleted);
  {
    TRef<Tracked> shared = TRef<Tracked>::Share(owner.get());
    EXPECT_EQ(shared, owner);
    EXPECT_EQ(owner->RefCount(), 2);
  }
  EXPECT_EQ(owner->RefCount(), 1);
  EXPECT_FALSE(TRef<Tracked>::Share(nullptr));

  TRef<TRefObject> base = std::move(owner);
  EXPECT_FALSE(owner);
  EXPECT_EQ(base->RefCount(), 1);
  base.reset();
  EXPECT_EQ(deleted, 1);
}

}  // namespace
}  // namespace bw
