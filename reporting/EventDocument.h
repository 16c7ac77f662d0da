#pragma once
#include <json/value.h>

#include <string>
#include <string_view>

namespace bw {

// A value written compactly: no blanks or line breaks, object members in name order, UTF-8 text
// as it is.
std::string CompactJson(const Json::Value& value);

// One event's info text: the members of the event document (an object that has some) followed
// by the record body's, which begins with a comma, in one object.
std::string EventInfo(const Json::Value& document, std::string_view body);

}  // namespace bw
