#include "engine/common/TRefObject.h"

#include <gtest/gtest.h>

#include "engine/sources/TPeerId.h"

namespace bw {
namespace {

class Counted : public TRefObject {
 public:
  explicit Counted(int* destroyed) : destroyed_(destroyed) {}
  ~Counted() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST(TRefObject, LastReleaseDeletesThroughTheVirtualDestructor) {
  int destroyed = 0;
  TRefObject* object = new Counted(&destroyed);
  EXPECT_EQ(object->RefCount(), 1);
  object->AddRef();
  object->AddRef();
  EXPECT_EQ(object->RefCount(), 3);
  object->Release();
  object->Release();
  EXPECT_EQ(object->RefCount(), 1);
  EXPECT_EQ(destroyed, 0);
  object->Release();
  EXPECT_EQ(destroyed, 1);
}

TEST(TRefObject, ReleaseRefIgnoresNullAndClearsThePointer) {
  int destroyed = 0;
  Counted* object = new Counted(&destroyed);
  object->AddRef();
  Counted* second = object;
  ReleaseRef(object);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(second->RefCount(), 1);
  ReleaseRef(object);  // null: nothing happens
  ReleaseRef(second);
  EXPECT_EQ(destroyed, 1);
}

TEST(TRefObject, ACopyStartsWithItsOwnReference) {
  int destroyed = 0;
  Counted original(&destroyed);
  original.AddRef();
  Counted* copy = new Counted(original);
  EXPECT_EQ(copy->RefCount(), 1);
  *copy = original;  // assignment copies the contents, never the count
  EXPECT_EQ(copy->RefCount(), 1);
  copy->Release();
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(original.RefCount(), 2);
}

TEST(TRefObject, IdentitiesAreCounted) {
  auto* id = new TPeerId("http://mirror.test/f.bin");
  id->AddRef();
  EXPECT_EQ(id->RefCount(), 2);
  id->Release();
  id->Release();  // deleted: the leak checker of the sanitizer build watches this
}

}  // namespace
}  // namespace bw
