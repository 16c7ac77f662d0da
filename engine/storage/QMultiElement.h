#pragma once
#include <vector>

#include "engine/storage/QElement.h"

namespace bw {

// A container: its children in a flat ordered sequence it owns. A dictionary is the sequence
// key, value, key, value ... in which a key carrying its integer has no separate value; nothing
// checks key order, duplicates or pairing.
class QMultiElement : public QElement {
 public:
  // Our own records nest four deep and torrents rarely more than six; deeper text is refused
  // so that hostile input cannot exhaust the stack.
  static constexpr int kMaxDepth = 64;

  ~QMultiElement() override;

  int64_t Parse(const char* text, int64_t length) override;
  QElement* NextSibling(const QElement* child) const override;
  QElement* PreviousSibling(const QElement* child) const override;
  // The value after `key`: the key element itself when it carries an integer, else the next
  // child (none when that one carries an integer, being a key itself).
  QElement* FindValue(const char* key, int64_t keyLength = -1) const override;
  // The first string child with exactly these bytes, whatever its position.
  QElement* FindElement(const char* bytes, int64_t length = -1) const override;
  QElement* ChildAt(int64_t index) const override;
  QElement* Append(std::unique_ptr<QElement>&& element) override;
  QElement* AppendString(const char* bytes, int64_t length, int64_t integer = 0,
                         bool hasInteger = false) override;
  // Refused for an index outside 0 ... Count(), an element without a size, and this
  // container or one of its ancestors.
  QElement* Insert(int64_t index, std::unique_ptr<QElement>&& element) override;
  QElement* InsertString(int64_t index, const char* bytes, int64_t length, int64_t integer = 0,
                         bool hasInteger = false) override;
  bool RemoveAt(int64_t index) override;
  bool Remove(QElement* element) override;
  std::unique_ptr<QElement> DetachAt(int64_t index) override;
  std::unique_ptr<QElement> Detach(QElement* element) override;
  void Clear() override;
  int64_t Count() const override;
  // The text of each child; the separator goes between texts, never before the first
  // non-empty one.
  void GetString(std::string& out, std::string_view separator) const override;
  // Sets the code page on every descendant.
  void SetCodePage(int32_t codePage) override;
  void Reset() override;

 protected:
  explicit QMultiElement(int32_t classType);

  bool Write(std::string& out) const override;

 private:
  friend class QElement;

  int64_t ParseNested(const char* text, int64_t length, int depth);
  int64_t IndexOf(const QElement* child) const;
  // Takes the child out of the sequence without deleting it.
  void Unlink(int64_t index);
  // Called by a child being destroyed.
  void Forget(QElement* child);
  bool IsSelfOrAncestor(const QElement* element) const;

  std::vector<QElement*> children_;
};

class QDictionaryElement final : public QMultiElement {
 public:
  QDictionaryElement() : QMultiElement(kDictionaryType) {}
};

class QListElement final : public QMultiElement {
 public:
  QListElement() : QMultiElement(kListType) {}
};

}  // namespace bw
