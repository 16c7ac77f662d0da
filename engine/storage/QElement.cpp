#include "engine/storage/QElement.h"

#include "engine/storage/CodePageText.h"
#include "engine/storage/QIntegerElement.h"
#include "engine/storage/QMultiElement.h"

namespace bw {

QElement::QElement(int32_t classType) : classType_(classType) {}

QElement::~QElement() {
  if (parent_) parent_->Forget(this);
}

int32_t QElement::GetType() const { return classType_; }

QElement* QElement::NextSibling(const QElement*) const { return nullptr; }
QElement* QElement::PreviousSibling(const QElement*) const { return nullptr; }
QElement* QElement::FindValue(const char*, int64_t) const { return nullptr; }
QElement* QElement::FindElement(const char*, int64_t) const { return nullptr; }
QElement* QElement::ChildAt(int64_t) const { return nullptr; }
QElement* QElement::Append(std::unique_ptr<QElement>&&) { return nullptr; }
QElement* QElement::AppendString(const char*, int64_t, int64_t, bool) { return nullptr; }
QElement* QElement::Insert(int64_t, std::unique_ptr<QElement>&&) { return nullptr; }
QElement* QElement::InsertString(int64_t, const char*, int64_t, int64_t, bool) { return nullptr; }
bool QElement::RemoveAt(int64_t) { return false; }
bool QElement::Remove(QElement*) { return false; }
std::unique_ptr<QElement> QElement::DetachAt(int64_t) { return nullptr; }
std::unique_ptr<QElement> QElement::Detach(QElement*) { return nullptr; }
void QElement::Clear() {}
int64_t QElement::Count() const { return 0; }

void QElement::SetCodePage(int32_t codePage) { codePage_ = codePage; }

void QElement::Reset() {
  hasInteger_ = false;
  codePage_ = 0;
  source_ = nullptr;
  bytes_.clear();
  parsedType_ = kInvalidType;
  integer_ = 0;
  encodedLength_ = 0;
}

bool QElement::IsValid() const { return parsedType_ != kInvalidType; }

const char* QElement::Bytes() const { return IsValid() ? bytes_.c_str() : ""; }

int64_t QElement::Length() const { return IsValid() ? static_cast<int64_t>(bytes_.size()) : -1; }

std::string_view QElement::ByteView() const {
  return IsValid() ? std::string_view(bytes_) : std::string_view();
}

int64_t QElement::Value() const { return IsValid() ? integer_ : 0; }

bool QElement::HasAnInteger() const { return hasInteger_ || integer_ != 0; }

std::string QElement::GetText() const {
  // A container's bytes are only a placeholder, never text.
  if (!IsValid() || classType_ != kStringType) return std::string();
  return TextFromCodePage(bytes_, codePage_);
}

int64_t QElement::EncodedSize() const {
  if (!IsValid()) return 0;
  if (classType_ == kStringType) return encodedLength_;
  int64_t size = 2;
  for (int64_t i = 0, n = Count(); i < n; ++i) {
    const int64_t childSize = ChildAt(i)->EncodedSize();
    if (childSize <= 0) return 0;
    size += childSize;
  }
  return size;
}

bool QElement::Serialise(std::string& out) const {
  const int64_t size = EncodedSize();
  if (size <= 0) return false;
  const size_t before = out.size();
  out.reserve(before + static_cast<size_t>(size) + 1024);
  if (Write(out)) return true;
  out.resize(before);
  return false;
}

std::unique_ptr<QElement> ParseElement(const char* text, int64_t length) {
  if (!text || length <= 0 || text[0] == '\0') return nullptr;
  std::unique_ptr<QElement> element = NewElementFor(text[0]);
  if (!element || element->Parse(text, length) <= 0) return nullptr;
  return element;
}

std::unique_ptr<QElement> NewElementFor(char first) {
  switch (first) {
    case 'd':
    case 'D':
      return std::make_unique<QDictionaryElement>();
    case 'l':
    case 'L':
      return std::make_unique<QListElement>();
    default:
      if (first >= '0' && first <= '9') return std::make_unique<QIntegerElement>();
      return nullptr;
  }
}

std::unique_ptr<QElement> NewDictionary() { return ParseElement("de", 2); }

std::unique_ptr<QElement> NewList() { return ParseElement("le", 2); }

}  // namespace bw
