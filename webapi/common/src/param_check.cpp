#include "tavo/param_check.h"

#include <climits>
#include <cstring>

namespace TAVO {

bool HasJsonType(const Json::Value& value, JsonType type) {
    switch (type) {
    case JsonType::Array: return value.isArray();
    case JsonType::Integral: return value.isIntegral();
    case JsonType::String: return value.isString();
    case JsonType::Bool: return value.isBool();
    case JsonType::Object: return value.isObject();
    }
    return false;
}

ParamCheck CheckParamRules(const APIRequest& req, const std::string& method,
                           const char* const* noParamMethods, size_t nNoParamMethods,
                           const MethodParams* methods, size_t nMethods, Json::Value& jParams,
                           const char** pszFailedName) {
    for (size_t i = 0; i < nNoParamMethods; ++i) {
        if (method == noParamMethods[i]) return ParamCheck::Ok;
    }
    const MethodParams* selected = nullptr;
    for (size_t i = 0; i < nMethods && !selected; ++i) {
        if (method == methods[i].szMethod) selected = &methods[i];
    }
    if (!selected) return ParamCheck::UnknownMethod;

    // Required parameters first, in table order, then the optional ones.
    for (size_t i = 0; i < selected->nRules; ++i) {
        const ParamRule& rule = selected->rules[i];
        if (!rule.blRequired) continue;
        if (!req.HasParam(rule.szName) ||
            !HasJsonType(req.GetParam(rule.szName, Json::Value()), rule.type)) {
            if (pszFailedName) *pszFailedName = rule.szName;
            return ParamCheck::MissingRequired;
        }
        jParams[rule.szName] = req.GetParam(rule.szName, Json::Value());
    }
    for (size_t i = 0; i < selected->nRules; ++i) {
        const ParamRule& rule = selected->rules[i];
        if (rule.blRequired || !req.HasParam(rule.szName)) continue;
        Json::Value value = req.GetParam(rule.szName, Json::Value());
        if (!HasJsonType(value, rule.type)) {
            if (pszFailedName) *pszFailedName = rule.szName;
            return ParamCheck::WrongOptional;
        }
        jParams[rule.szName] = value;
    }
    return ParamCheck::Ok;
}

bool FitsInt32(const Json::Value& value) {
    if (!value.isInt64()) return false;
    const Json::Int64 v = value.asInt64();
    return v >= INT_MIN && v <= INT_MAX;
}

}  // namespace TAVO
