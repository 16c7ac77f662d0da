#include "reporting/EventDocument.h"

#include <json/writer.h>

namespace bw {

std::string CompactJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

// The record body was made to continue an object, so the document's closing brace makes way for
// it. (Put after the whole document, it would leave the text one object inside another's braces.)
std::string EventInfo(const Json::Value& document, std::string_view body) {
  std::string info = CompactJson(document);
  while (!info.empty() && info.back() != '}') info.pop_back();
  if (!info.empty()) info.pop_back();
  info.append(body);
  info += '}';
  return info;
}

}  // namespace bw
