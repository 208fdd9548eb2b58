// Request decoding of the host: form encoding, JSON values, language.
#include "request_parser.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <sstream>

namespace TAVO {
namespace Host {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A decimal int, nothing else: no blanks, no fraction, no overflow.
bool ParseVersion(const std::string& text, int& version) {
    if (text.empty() || text.size() > 11) return false;
    size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t k = i; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return false;
    }
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) return false;
    version = static_cast<int>(value);
    return true;
}

// Whether a string or member name anywhere in value holds a NUL. The reader
// caps the depth, so the recursion is bounded.
bool HoldsNul(const Json::Value& value) {
    if (value.isString()) {
        const char* begin = nullptr;
        const char* end = nullptr;
        return value.getString(&begin, &end) && std::find(begin, end, '\0') != end;
    }
    if (value.isArray()) {
        for (const Json::Value& element : value)
            if (HoldsNul(element)) return true;
        return false;
    }
    if (value.isObject()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (it.name().find('\0') != std::string::npos || HoldsNul(*it)) return true;
        }
    }
    return false;
}

}  // namespace

bool PercentDecode(const std::string& encoded, std::string& decoded) {
    decoded.clear();
    decoded.reserve(encoded.size());
    for (size_t i = 0; i < encoded.size(); ++i) {
        char c = encoded[i];
        if (c == '+') {
            decoded.push_back(' ');
        } else if (c == '%' && i + 2 < encoded.size() && HexDigit(encoded[i + 1]) >= 0 &&
                   HexDigit(encoded[i + 2]) >= 0) {
            decoded.push_back(
                static_cast<char>(HexDigit(encoded[i + 1]) * 16 + HexDigit(encoded[i + 2])));
            i += 2;
        } else {
            decoded.push_back(c);
        }
    }
    // A NUL byte would cut every C string made from the value later on.
    return decoded.find('\0') == std::string::npos;
}

bool ParseUrlEncoded(const std::string& text, FieldList& fields) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('&', start);
        if (end == std::string::npos) end = text.size();
        std::string piece = text.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) continue;
        size_t eq = piece.find('=');
        std::string name, value;
        if (!PercentDecode(piece.substr(0, eq), name)) return false;
        if (eq != std::string::npos && !PercentDecode(piece.substr(eq + 1), value)) return false;
        fields.emplace_back(std::move(name), std::move(value));
    }
    return true;
}

bool ParseParamValue(const std::string& text, Json::Value& value, std::string& why) {
    static const std::unique_ptr<Json::CharReader> reader = [] {
        Json::CharReaderBuilder builder;
        Json::CharReaderBuilder::strictMode(&builder.settings_);
        builder["strictRoot"] = false;  // scalars are values too
        builder["failIfExtra"] = true;  // "1 2" or "[1]x" is text, not JSON
        builder["rejectDupKeys"] = false;
        // The reader counts its levels the way kMaxParamDepth does.
        builder["stackLimit"] = kMaxParamDepth;
        return std::unique_ptr<Json::CharReader>(builder.newCharReader());
    }();
    why.clear();
    value = Json::Value();
    std::string errors;
    const char* begin = text.data();
    bool parsed = false;
    try {
        // The reader throws, rather than fails, past its depth limit.
        parsed = !text.empty() && reader->parse(begin, begin + text.size(), &value, &errors);
    } catch (const Json::Exception& e) {
        why = std::string("JSON value refused: ") + e.what();
        value = Json::Value();
        return false;
    }
    if (!parsed) {
        value = Json::Value(text);
        return true;
    }
    if (HoldsNul(value)) {
        why = "JSON value holds a NUL character";
        value = Json::Value();
        return false;
    }
    return true;
}

Json::Value ParseParamValue(const std::string& text) {
    Json::Value value;
    std::string why;
    ParseParamValue(text, value, why);
    return value;
}

bool IsLanguageTag(const std::string& text) {
    if (text.empty() || text.size() > 35) return false;
    for (char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

std::string FirstAcceptLanguage(const std::string& header) {
    std::string first = header.substr(0, header.find(','));
    first = first.substr(0, first.find(';'));
    size_t b = first.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    size_t e = first.find_last_not_of(" \t");
    first = first.substr(b, e - b + 1);
    return IsLanguageTag(first) ? first : "";
}

ParsedCall ParseCall(const FieldList& fields, const std::string& acceptLanguage) {
    ParsedCall call;
    bool haveApi = false, haveVersion = false, haveMethod = false;
    std::string versionText;
    Json::Value params(Json::objectValue);
    for (const Field& field : fields) {
        if (field.first == "api") {
            call.api = field.second;
            haveApi = true;
        } else if (field.first == "version") {
            versionText = field.second;
            haveVersion = true;
        } else if (field.first == "method") {
            call.method = field.second;
            haveMethod = true;
        } else if (call.errorCode == 0) {
            Json::Value value;
            std::string why;
            if (ParseParamValue(field.second, value, why)) {
                params[field.first] = std::move(value);
            } else {
                call.errorCode = WEBAPI_ERR_BAD_REQUEST;
                call.errorText = "parameter " + field.first + ": " + why;
            }
        }
    }
    if (call.errorCode != 0) {
        // A refused parameter decides; the entry fields are not looked at.
    } else if (!haveApi || call.api.empty()) {
        call.errorCode = WEBAPI_ERR_BAD_REQUEST;
        call.errorText = "api missing";
    } else if (!haveVersion) {
        call.errorCode = WEBAPI_ERR_BAD_REQUEST;
        call.errorText = "version missing";
    } else if (!ParseVersion(versionText, call.version)) {
        call.errorCode = WEBAPI_ERR_BAD_REQUEST;
        call.errorText = "version is not an integer: " + versionText;
    } else if (!haveMethod || call.method.empty()) {
        call.errorCode = WEBAPI_ERR_BAD_REQUEST;
        call.errorText = "method missing";
    }

    std::string language = "en";
    const Json::Value lang = params.get("lang", Json::Value());
    if (lang.isString() && IsLanguageTag(lang.asString())) {
        language = lang.asString();
    } else {
        std::string fromHeader = FirstAcceptLanguage(acceptLanguage);
        if (!fromHeader.empty()) language = fromHeader;
    }
    call.request = APIRequest(params, language);
    return call;
}

}  // namespace Host
}  // namespace TAVO
