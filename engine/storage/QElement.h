#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace bw {

class QMultiElement;

// A bencoded value in this engine's own shape: a string element may carry the integer that
// follows it (4:sizei5e is one element, bytes "size", integer 5), so containers hold a flat
// sequence in which a key with its integer has no separate value element. Readers of records
// this family wrote take values by position, since a key whose integer is 0 may be written
// without one.
//
// Every parse takes a pointer and a length and never reads past the length. Parse results:
// bytes consumed (> 0), 0 when the text does not start an element of this kind, -1 on a syntax
// error, -3 when the text is truncated.
class QElement {
 public:
  enum : int32_t {
    kInvalidType = 0,
    kContainerType = 1,
    kStringType = 2,
    kDictionaryType = 3,
    kListType = 4,
  };

  QElement(const QElement&) = delete;
  QElement& operator=(const QElement&) = delete;

  // Detaches the element from its parent first.
  virtual ~QElement();

  virtual int64_t Parse(const char* text, int64_t length) = 0;
  virtual int32_t GetType() const;
  virtual QElement* NextSibling(const QElement* child) const;
  virtual QElement* PreviousSibling(const QElement* child) const;
  // A length <= 0 means a NUL-terminated key.
  virtual QElement* FindValue(const char* key, int64_t keyLength = -1) const;
  virtual QElement* FindElement(const char* bytes, int64_t length = -1) const;
  virtual QElement* ChildAt(int64_t index) const;
  // Take ownership on success (the pointer is then empty) and leave it with the caller when
  // refused (none is returned).
  virtual QElement* Append(std::unique_ptr<QElement>&& element);
  // A negative length means NUL-terminated bytes.
  virtual QElement* AppendString(const char* bytes, int64_t length, int64_t integer = 0,
                                 bool hasInteger = false);
  virtual QElement* Insert(int64_t index, std::unique_ptr<QElement>&& element);
  virtual QElement* InsertString(int64_t index, const char* bytes, int64_t length,
                                 int64_t integer = 0, bool hasInteger = false);
  virtual bool RemoveAt(int64_t index);
  virtual bool Remove(QElement* element);
  virtual std::unique_ptr<QElement> DetachAt(int64_t index);
  virtual std::unique_ptr<QElement> Detach(QElement* element);
  virtual void Clear();
  virtual int64_t Count() const;
  // Appends to `out`.
  virtual void GetString(std::string& out, std::string_view separator) const = 0;
  virtual void SetCodePage(int32_t codePage);
  virtual void Reset();

  bool IsValid() const;
  // Never null; an empty string when invalid. Always followed by a NUL that is not counted.
  const char* Bytes() const;
  // -1 when invalid.
  int64_t Length() const;
  // The bytes as a view; empty when invalid.
  std::string_view ByteView() const;
  // The attached integer; 0 when invalid.
  int64_t Value() const;
  bool HasAnInteger() const;
  // The bytes in the process's text encoding, converted from the element's code page.
  std::string GetText() const;
  // The size Serialise needs (a parsed string element: the bytes its parse consumed); 0 when
  // anything in the tree is invalid.
  int64_t EncodedSize() const;
  // Appends the encoded tree to `out`; false (and `out` unchanged) when anything is invalid.
  bool Serialise(std::string& out) const;

  int32_t CodePage() const { return codePage_; }
  // Start of the text this element was parsed from (the caller's buffer), or none.
  const char* Source() const { return source_; }
  // Bytes consumed by the parse, or the encoded length of a created element.
  int64_t EncodedLength() const { return encodedLength_; }
  QMultiElement* Parent() const { return parent_; }

 protected:
  explicit QElement(int32_t classType);

  // Writes the valid tree; false at the first invalid element.
  virtual bool Write(std::string& out) const = 0;

  bool hasInteger_ = false;
  int32_t codePage_ = 0;
  const char* source_ = nullptr;
  std::string bytes_;
  const int32_t classType_;
  int32_t parsedType_ = kInvalidType;
  int64_t integer_ = 0;
  int64_t encodedLength_ = 0;
  QMultiElement* parent_ = nullptr;

  friend class QMultiElement;
};

// The element that the first byte selects ("d"/"D" dictionary, "l"/"L" list, a digit a string
// element), parsed from the text; none on any failure.
std::unique_ptr<QElement> ParseElement(const char* text, int64_t length);
// An unparsed element of the kind that first byte selects, or none.
std::unique_ptr<QElement> NewElementFor(char first);
std::unique_ptr<QElement> NewDictionary();
std::unique_ptr<QElement> NewList();

}  // namespace bw
