// The host's request parser on arbitrary query strings, form bodies, JSON
// parameter values and Accept-Language headers.
//
// Input layout: byte 0 chooses the entry point, the rest is its text; for
// ParseCall the text up to the first '\n' is the Accept-Language header.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "request_parser.h"

using namespace TAVO::Host;

namespace {

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "FUZZ FAILURE: %s\n", what);
    abort();
}

void CheckCall(const ParsedCall& call) {
    if (call.errorCode != 0 && call.errorCode != TAVO::WEBAPI_ERR_BAD_REQUEST) Fail("unexpected code");
    if (call.errorCode == 0 && (call.api.empty() || call.method.empty())) Fail("accepted without api or method");
    const std::string language = call.request.GetUILanguage();
    if (language != "en" && !IsLanguageTag(language)) Fail("language is no tag");
    if (!call.request.Params().isObject()) Fail("parameters are no object");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 4) {
    case 0: {
        std::string decoded;
        if (PercentDecode(text, decoded)) {
            if (decoded.find('\0') != std::string::npos) Fail("decoded text holds NUL");
            if (decoded.size() > text.size()) Fail("decoding grew the text");
        }
        break;
    }
    case 1: {
        Json::Value value = ParseParamValue(text);
        // Text that is no JSON value comes back as itself.
        if (value.isString() && value.asString() != text) {
            Json::Value again = ParseParamValue(value.asString());
            (void)again;
        }
        break;
    }
    case 2: {
        std::string header = FirstAcceptLanguage(text);
        if (!header.empty() && !IsLanguageTag(header)) Fail("first language is no tag");
        break;
    }
    default: {
        const size_t newline = text.find('\n');
        const std::string acceptLanguage = newline == std::string::npos ? "" : text.substr(0, newline);
        const std::string query = newline == std::string::npos ? text : text.substr(newline + 1);
        FieldList fields;
        if (ParseUrlEncoded(query, fields)) {
            for (const Field& field : fields)
                if (field.first.find('\0') != std::string::npos || field.second.find('\0') != std::string::npos)
                    Fail("field holds NUL");
            CheckCall(ParseCall(fields, acceptLanguage));
        }
        break;
    }
    }
    return 0;
}
