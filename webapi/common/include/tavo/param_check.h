// The table walk behind every handler's CheckParam. The handler logs the
// outcome itself, so the log line names the handler's own module.
#pragma once

#include <cstddef>
#include <string>

#include "webapi.h"

namespace TAVO {

enum class JsonType { Array, Integral, String, Bool, Object };

struct ParamRule {
    const char* szName;
    JsonType type;
    bool blRequired;
};

struct MethodParams {
    const char* szMethod;  // entry-function name, e.g. "APIScanStartCustom_v1"
    const ParamRule* rules;
    size_t nRules;
};

template <size_t N>
constexpr MethodParams Method(const char* szMethod, const ParamRule (&rules)[N]) {
    return MethodParams{szMethod, rules, N};
}

enum class ParamCheck {
    Ok,               // jParams holds every accepted parameter
    UnknownMethod,    // the method is neither parameterless nor in the table
    MissingRequired,  // a required parameter is absent or of the wrong type
    WrongOptional,    // an optional parameter is present with the wrong type
};

bool HasJsonType(const Json::Value& value, JsonType type);

// Parameterless methods match first and return Ok without reading the
// request. Otherwise the first matching table entry's rules are applied in
// order; *pszFailedName names the parameter that failed.
ParamCheck CheckParamRules(const APIRequest& req, const std::string& method,
                           const char* const* noParamMethods, size_t nNoParamMethods,
                           const MethodParams* methods, size_t nMethods, Json::Value& jParams,
                           const char** pszFailedName);

template <size_t A, size_t B>
ParamCheck CheckParamRules(const APIRequest& req, const std::string& method,
                           const char* const (&noParamMethods)[A], const MethodParams (&methods)[B],
                           Json::Value& jParams, const char** pszFailedName) {
    return CheckParamRules(req, method, noParamMethods, A, methods, B, jParams, pszFailedName);
}

// True when the value is a whole number in the 32-bit signed range, which
// asInt reads without throwing; false otherwise (beyond the range included).
bool FitsInt32(const Json::Value& value);

}  // namespace TAVO
