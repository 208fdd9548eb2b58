// Turns the fields of a web API call (query string, form body or command
// line) into the entry to call and the APIRequest to call it with.
#pragma once

#include <json/json.h>

#include <string>
#include <utility>
#include <vector>

#include "tavo/webapi.h"

namespace TAVO {
namespace Host {

using Field = std::pair<std::string, std::string>;
using FieldList = std::vector<Field>;

// Decodes one application/x-www-form-urlencoded component: "+" is a blank,
// "%XY" the byte XY. A '%' not followed by two hex digits stays as it is.
// Returns false when the decoded text holds a NUL byte.
bool PercentDecode(const std::string& encoded, std::string& decoded);

// Splits "a=1&b=2" into decoded (name, value) pairs and appends them to
// fields. Empty pieces ("a=1&&b=2") are skipped; "name" without '=' has an
// empty value. Returns false (fields partly filled) on a NUL byte.
bool ParseUrlEncoded(const std::string& text, FieldList& fields);

// How many levels a parameter value may have: a scalar or an empty array or
// object is one level, a container one more than its deepest element
// ("[[1]]" has three). The plug-ins take three at most; the limit keeps the
// reader's recursion small.
constexpr int kMaxParamDepth = 64;

// The value of a parameter field: its JSON value when the text is one
// complete JSON value (object, array, string, number, true, false, null),
// else the text itself as a JSON string. Returns false, with why set, for
// JSON the host refuses: nested deeper than kMaxParamDepth, anything else
// the reader throws on, or a string or member name holding a NUL (from a
// \u0000 escape), which would cut every C string made from it.
bool ParseParamValue(const std::string& text, Json::Value& value, std::string& why);
// The same, with a refused value given as null.
Json::Value ParseParamValue(const std::string& text);

// The first language tag of an Accept-Language header ("de-DE,de;q=0.9"
// gives "de-DE"), or "" when there is none usable.
std::string FirstAcceptLanguage(const std::string& header);

// Whether text looks like a language tag: 1 to 35 letters, digits, '-' or '_'.
bool IsLanguageTag(const std::string& text);

// One call, decoded.
struct ParsedCall {
    int errorCode = 0;      // 0, or WEBAPI_ERR_BAD_REQUEST
    std::string errorText;  // why, for the log
    std::string api;
    int version = 0;
    std::string method;
    APIRequest request;
};

// Builds the call from its fields. "api", "version" and "method" choose the
// entry (101 when one is missing or version is not a decimal integer); every
// other field becomes a parameter (101 when ParseParamValue refuses it); a later field of the same
// name replaces an earlier one. The UI language is the "lang" field when it holds a language tag,
// else the first tag of acceptLanguage, else "en".
ParsedCall ParseCall(const FieldList& fields, const std::string& acceptLanguage);

}  // namespace Host
}  // namespace TAVO
