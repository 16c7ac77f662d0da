// Parses any bytes; whatever parses must serialise, and its serialisation must parse back to
// the very same bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/storage/QElement.h"
#include "fuzz/FuzzCheck.h"

using bw::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // libFuzzer hands over a block of exactly `size` bytes, so ASan sees any read past it.
  const char* text = reinterpret_cast<const char*>(data);
  std::unique_ptr<bw::QElement> element = bw::ParseElement(text, static_cast<int64_t>(size));
  if (!element) return 0;
  Check(element->EncodedLength() > 0 && element->EncodedLength() <= static_cast<int64_t>(size));

  std::string first;
  Check(element->Serialise(first));
  std::unique_ptr<bw::QElement> again =
      bw::ParseElement(first.data(), static_cast<int64_t>(first.size()));
  Check(again && again->EncodedLength() == static_cast<int64_t>(first.size()));
  std::string second;
  Check(again->Serialise(second) && second == first);
  Check(again->EncodedSize() == static_cast<int64_t>(first.size()));

  // Lookups and text conversion walk the same tree.
  if (const bw::QElement* info = element->FindValue("info")) info->FindElement("pieces");
  element->SetCodePage(936);
  std::string joined;
  element->GetString(joined, ",");
  return 0;
}
