#include "engine/storage/QMultiElement.h"

#include <cstring>

#include "engine/storage/QIntegerElement.h"

namespace bw {
namespace {

bool IsContainerStart(char c) { return c == 'd' || c == 'D' || c == 'l' || c == 'L'; }

bool IsEnd(char c) { return c == 'e' || c == 'E'; }

std::string_view KeyView(const char* key, int64_t length) {
  return length > 0 ? std::string_view(key, static_cast<size_t>(length)) : std::string_view(key);
}

bool IsStringWith(const QElement* element, std::string_view bytes) {
  return element->IsValid() && element->GetType() == QElement::kStringType &&
         element->ByteView() == bytes;
}

}  // namespace

QMultiElement::QMultiElement(int32_t classType) : QElement(classType) {}

QMultiElement::~QMultiElement() { Clear(); }

int64_t QMultiElement::Parse(const char* text, int64_t length) {
  return ParseNested(text, length, 1);
}

int64_t QMultiElement::ParseNested(const char* text, int64_t length, int depth) {
  Reset();
  if (!text || length < 2 || text[0] == '\0' || !IsContainerStart(text[0])) return 0;
  if (depth > kMaxDepth) return -1;

  // The body ends one byte early so that the closing "e" always lies inside the text.
  const int64_t bodyEnd = length - 1;
  int64_t pos = 1;
  while (pos < bodyEnd && text[pos] != '\0' && !IsEnd(text[pos])) {
    std::unique_ptr<QElement> child = NewElementFor(text[pos]);
    if (!child) break;
    const int64_t used =
        child->GetType() == kStringType
            ? child->Parse(text + pos, bodyEnd - pos)
            : static_cast<QMultiElement*>(child.get())->ParseNested(text + pos, bodyEnd - pos,
                                                                      depth + 1);
    if (used <= 0) break;
    child->parent_ = this;
    children_.push_back(child.release());
    pos += used;
  }
  if (!IsEnd(text[pos])) {
    Reset();
    return -1;
  }
  bytes_.assign(2, '\0');  // placeholder, so validity reads the same for every element
  source_ = text;
  parsedType_ = classType_;
  encodedLength_ = pos + 1;
  return encodedLength_;
}

QElement* QMultiElement::NextSibling(const QElement* child) const {
  const int64_t index = IndexOf(child);
  return index >= 0 ? ChildAt(index + 1) : nullptr;
}

QElement* QMultiElement::PreviousSibling(const QElement* child) const {
  const int64_t index = IndexOf(child);
  return index > 0 ? ChildAt(index - 1) : nullptr;
}

QElement* QMultiElement::FindValue(const char* key, int64_t keyLength) const {
  if (!IsValid() || !key) return nullptr;
  const std::string_view wanted = KeyView(key, keyLength);
  for (size_t i = 0; i < children_.size(); ++i) {
    QElement* child = children_[i];
    if (!child->IsValid()) continue;
    if (IsStringWith(child, wanted)) {
      if (child->HasAnInteger()) return child;
      QElement* value = i + 1 < children_.size() ? children_[i + 1] : nullptr;
      return value && !value->HasAnInteger() ? value : nullptr;
    }
    if (!child->HasAnInteger()) ++i;  // a key without its integer: skip its value
  }
  return nullptr;
}

QElement* QMultiElement::FindElement(const char* bytes, int64_t length) const {
  if (!IsValid() || !bytes) return nullptr;
  const std::string_view wanted = KeyView(bytes, length);
  for (QElement* child : children_) {
    if (IsStringWith(child, wanted)) return child;
  }
  return nullptr;
}

QElement* QMultiElement::ChildAt(int64_t index) const {
  return index >= 0 && index < Count() ? children_[static_cast<size_t>(index)] : nullptr;
}

QElement* QMultiElement::Append(std::unique_ptr<QElement>&& element) {
  return Insert(Count(), std::move(element));
}

QElement* QMultiElement::AppendString(const char* bytes, int64_t length, int64_t integer,
                                      bool hasInteger) {
  return InsertString(Count(), bytes, length, integer, hasInteger);
}

QElement* QMultiElement::Insert(int64_t index, std::unique_ptr<QElement>&& element) {
  if (!element || index < 0 || index > Count()) return nullptr;
  const int64_t size = element->EncodedSize();
  // Adding an ancestor would make the tree a cycle.
  if (size <= 0 || IsSelfOrAncestor(element.get())) return nullptr;
  if (QMultiElement* former = element->parent_) {
    former->Unlink(former->IndexOf(element.get()));
    if (index > Count()) index = Count();
  }
  QElement* child = element.release();
  child->parent_ = this;
  children_.insert(children_.begin() + index, child);
  encodedLength_ += size;
  return child;
}

QElement* QMultiElement::InsertString(int64_t index, const char* bytes, int64_t length,
                                      int64_t integer, bool hasInteger) {
  auto element = std::make_unique<QIntegerElement>();
  if (!element->Create(bytes, length, integer, hasInteger)) return nullptr;
  return Insert(index, std::move(element));
}

bool QMultiElement::RemoveAt(int64_t index) { return DetachAt(index) != nullptr; }

bool QMultiElement::Remove(QElement* element) { return Detach(element) != nullptr; }

std::unique_ptr<QElement> QMultiElement::DetachAt(int64_t index) {
  QElement* child = ChildAt(index);
  if (child) Unlink(index);
  return std::unique_ptr<QElement>(child);
}

std::unique_ptr<QElement> QMultiElement::Detach(QElement* element) {
  return DetachAt(IndexOf(element));
}

void QMultiElement::Clear() {
  for (QElement* child : children_) {
    child->parent_ = nullptr;  // so that its destructor does not come back here
    delete child;
  }
  children_.clear();
  if (IsValid()) encodedLength_ = 2;
}

int64_t QMultiElement::Count() const { return static_cast<int64_t>(children_.size()); }

void QMultiElement::GetString(std::string& out, std::string_view separator) const {
  out.clear();
  for (const QElement* child : children_) {
    if (!out.empty()) out += separator;
    out += child->GetText();
  }
}

void QMultiElement::SetCodePage(int32_t codePage) {
  QElement::SetCodePage(codePage);
  for (QElement* child : children_) child->SetCodePage(codePage);
}

void QMultiElement::Reset() {
  Clear();
  QElement::Reset();
}

bool QMultiElement::Write(std::string& out) const {
  if (!IsValid()) return false;
  out += classType_ == kDictionaryType ? 'd' : 'l';
  for (const QElement* child : children_) {
    if (!child->Write(out)) return false;
  }
  out += 'e';
  return true;
}

int64_t QMultiElement::IndexOf(const QElement* child) const {
  if (!child || child->parent_ != this) return -1;
  for (size_t i = 0; i < children_.size(); ++i) {
    if (children_[i] == child) return static_cast<int64_t>(i);
  }
  return -1;
}

void QMultiElement::Unlink(int64_t index) {
  QElement* child = children_[static_cast<size_t>(index)];
  children_.erase(children_.begin() + index);
  child->parent_ = nullptr;
  const int64_t size = child->EncodedSize();
  if (size < encodedLength_) encodedLength_ -= size;
}

void QMultiElement::Forget(QElement* child) {
  const int64_t index = IndexOf(child);
  if (index >= 0) Unlink(index);
}

bool QMultiElement::IsSelfOrAncestor(const QElement* element) const {
  for (const QElement* e = this; e; e = e->parent_) {
    if (e == element) return true;
  }
  return false;
}

}  // namespace bw
