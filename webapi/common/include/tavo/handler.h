// Pieces of the request frame every handler shares.
#pragma once

#include "log.h"
#include "param_check.h"
#include "webapi.h"

namespace TAVO {

// The one answer of a request: the error code when one is set, else success;
// the result object goes along either way.
inline void Answer(APIResponse* resp, int errCode, const Json::Value& jRetObj) {
    if (errCode != WEBAPI_ERR_NONE) {
        resp->SetError(errCode, jRetObj);
    } else {
        resp->SetSuccess(jRetObj);
    }
}

}  // namespace TAVO

// The body of a handler's CheckParam: the table walk, with its outcome logged
// from the handler's own module and errCode set as the frame requires (103
// for an unknown method, 114 for a missing or mistyped parameter).
#define TAVO_CHECK_PARAM(req, method, noParamMethods, methods, jParams, errCode)                  \
    do {                                                                                          \
        const char* szFailedName_ = "";                                                           \
        switch (TAVO::CheckParamRules(req, method, noParamMethods, methods, jParams,              \
                                      &szFailedName_)) {                                          \
        case TAVO::ParamCheck::Ok: break;                                                         \
        case TAVO::ParamCheck::UnknownMethod:                                                     \
            TAVO_LOG(TAVO_LOG_ERR, "Unknown method: %s", (method).c_str());                       \
            (errCode) = TAVO::WEBAPI_ERR_NO_SUCH_METHOD;                                          \
            break;                                                                                \
        case TAVO::ParamCheck::MissingRequired:                                                   \
            TAVO_LOG(TAVO_LOG_ERR,                                                                \
                     "The required parameter [%s] is not found or its type is incorrect.",        \
                     szFailedName_);                                                              \
            (errCode) = TAVO::WEBAPI_ERR_NO_REQUIRED_PARAM;                                       \
            break;                                                                                \
        case TAVO::ParamCheck::WrongOptional:                                                     \
            TAVO_LOG(TAVO_LOG_ERR, "The type of the paramter [%s] is incorrect.", szFailedName_); \
            (errCode) = TAVO::WEBAPI_ERR_NO_REQUIRED_PARAM;                                       \
            break;                                                                                \
        }                                                                                         \
    } while (0)
