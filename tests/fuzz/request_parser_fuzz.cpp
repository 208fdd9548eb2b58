// The host's request parser on arbitrary query strings, form bodies, JSON
// parameter values and Accept-Language headers.
//
// Input layout: byte 0 chooses the entry point, the rest is its text; for
// ParseCall the text up to the first '\n' is the Accept-Language header.
// The nesting entry takes two more bytes as a count N and reads the value
// "[" x N + text + "]" x N as a parameter of a whole call, so one mutated
// byte takes the JSON reader from shallow values to thousands of levels.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "request_parser.h"
#include "shape_features.h"

using namespace TAVO::Host;

namespace {

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "FUZZ FAILURE: %s\n", what);
    abort();
}

// Levels of a value as kMaxParamDepth counts them: a scalar or an empty
// container is one.
int Depth(const Json::Value& value) {
    int deepest = 0;
    for (const Json::Value& element : value) deepest = std::max(deepest, Depth(element));
    return deepest + 1;
}

bool HoldsNul(const Json::Value& value) {
    if (value.isString()) return value.asString().find('\0') != std::string::npos;
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (value.isObject() && it.name().find('\0') != std::string::npos) return true;
        if (HoldsNul(*it)) return true;
    }
    return false;
}

// What every accepted value must be: within the depth limit, no NUL, and
// text that is no JSON comes back as itself.
void CheckValue(const std::string& text, bool accepted, const Json::Value& value,
                const std::string& why) {
    if (!accepted) {
        if (why.empty()) Fail("refused without a reason");
        if (!value.isNull()) Fail("refused value is not null");
        return;
    }
    if (Depth(value) > kMaxParamDepth) Fail("value nested past the limit");
    if (HoldsNul(value) && !(value.isString() && value.asString() == text))
        Fail("JSON value holds NUL");
}

void CheckCall(const ParsedCall& call) {
    if (call.errorCode != 0 && call.errorCode != TAVO::WEBAPI_ERR_BAD_REQUEST)
        Fail("unexpected code");
    if (call.errorCode == 0 && (call.api.empty() || call.method.empty()))
        Fail("accepted without api or method");
    const std::string language = call.request.GetUILanguage();
    if (language != "en" && !IsLanguageTag(language)) Fail("language is no tag");
    if (!call.request.Params().isObject()) Fail("parameters are no object");
    if (call.errorCode == 0) {
        for (const std::string& name : call.request.Params().getMemberNames()) {
            const Json::Value value = call.request.Params()[name];
            if (Depth(value) > kMaxParamDepth) Fail("parameter nested past the limit");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    fuzz::NoteShape(text.data(), text.size());
    switch (data[0] % 5) {
    case 0: {
        std::string decoded;
        if (PercentDecode(text, decoded)) {
            if (decoded.find('\0') != std::string::npos) Fail("decoded text holds NUL");
            if (decoded.size() > text.size()) Fail("decoding grew the text");
        }
        break;
    }
    case 1: {
        Json::Value value;
        std::string why;
        const bool accepted = ParseParamValue(text, value, why);
        CheckValue(text, accepted, value, why);
        if (accepted && value.isString() && value.asString() != text) {
            Json::Value again;
            CheckValue(value.asString(), ParseParamValue(value.asString(), again, why), again, why);
        }
        break;
    }
    case 2: {
        std::string header = FirstAcceptLanguage(text);
        if (!header.empty() && !IsLanguageTag(header)) Fail("first language is no tag");
        break;
    }
    case 4: {
        if (text.size() < 2) break;
        const size_t levels =
            (static_cast<uint8_t>(text[0]) << 8 | static_cast<uint8_t>(text[1])) % 4096;
        const std::string value =
            std::string(levels, '[') + text.substr(2) + std::string(levels, ']');
        Json::Value parsed;
        std::string why;
        CheckValue(value, ParseParamValue(value, parsed, why), parsed, why);
        const ParsedCall call =
            ParseCall({{"api", "A"}, {"version", "1"}, {"method", "m"}, {"p", value}}, "");
        CheckCall(call);
        break;
    }
    default: {
        const size_t newline = text.find('\n');
        const std::string acceptLanguage =
            newline == std::string::npos ? "" : text.substr(0, newline);
        const std::string query = newline == std::string::npos ? text : text.substr(newline + 1);
        FieldList fields;
        if (ParseUrlEncoded(query, fields)) {
            for (const Field& field : fields)
                if (field.first.find('\0') != std::string::npos ||
                    field.second.find('\0') != std::string::npos)
                    Fail("field holds NUL");
            CheckCall(ParseCall(fields, acceptLanguage));
        }
        break;
    }
    }
    return 0;
}
