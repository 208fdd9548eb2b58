// The web API host interface the plug-ins are written against (libwebapi-ORV5),
// the API table every plug-in exports, and the host's error codes.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <functional>
#include <string>

#define TAVO_EXPORT __attribute__((visibility("default")))

namespace TAVO {

// Error codes of the host's WEBAPI_ERR enumeration. The plug-ins set only
// NONE, NO_SUCH_METHOD, NO_REQUIRED_PARAM, INTERNAL_ERROR and
// REQUEST_PARAMETER_INVALID; the others are the host's own answers.
enum WEBAPI_ERR {
    WEBAPI_ERR_NONE = 0,
    WEBAPI_ERR_BAD_REQUEST = 101,            // api, version or method missing or malformed
    WEBAPI_ERR_NO_SUCH_API = 102,            // no plug-in serves the API
    WEBAPI_ERR_NO_SUCH_METHOD = 103,         // the API has no such method
    WEBAPI_ERR_NOT_SUPPORTED_VERSION = 104,  // the method exists, not in that version
    WEBAPI_ERR_FORBIDDEN_ORIGIN = 105,       // cross-site request refused
    WEBAPI_ERR_NO_REQUIRED_PARAM = 114,
    WEBAPI_ERR_INTERNAL_ERROR = 117,
    WEBAPI_ERR_REQUEST_PARAMETER_INVALID = 120,
};

// One request as the host hands it to a plug-in. The plug-ins never create
// or free it; the host (and tests) build it from the decoded parameters.
class APIRequest {
public:
    APIRequest() : params_(Json::objectValue) {}
    explicit APIRequest(Json::Value params, std::string language = "en")
        : params_(std::move(params)), language_(std::move(language)) {}

    bool HasParam(const std::string& name) const;
    Json::Value GetParam(const std::string& name, const Json::Value& defaultValue) const;
    std::string GetUILanguage() const;

    // Host side.
    void SetParam(const std::string& name, const Json::Value& value);
    void SetUILanguage(const std::string& language) { language_ = language; }
    const Json::Value& Params() const { return params_; }

private:
    Json::Value params_;
    std::string language_ = "en";
};

// The answer a plug-in builds for one request (or a background task).
class APIResponse {
public:
    void SetSuccess(const Json::Value& data);
    void SetError(int code, const Json::Value& data);
    void SetEnableOutput(bool enable);

    // Host side.
    bool Answered() const { return answers_ > 0; }
    int AnswerCount() const { return answers_; }
    bool IsSuccess() const { return answers_ > 0 && errorCode_ == 0; }
    int ErrorCode() const { return errorCode_; }
    const Json::Value& Data() const { return data_; }
    bool OutputEnabled() const { return outputEnabled_; }
    // Called after every SetSuccess/SetError, so a task can record each answer at once.
    void SetAnswerObserver(std::function<void(const APIResponse&)> observer) {
        observer_ = std::move(observer);
    }
    // Called when the plug-in switches the host's output on or off, so that
    // output the plug-in writes itself can go out as it is written.
    void SetOutputObserver(std::function<void(bool enabled)> observer) {
        outputObserver_ = std::move(observer);
    }
    // The answer as the host sends it: {"success":true,"data":V} or
    // {"success":false,"error":{"code":N}} (with "data" when V is not null).
    Json::Value ToJson() const;

private:
    int answers_ = 0;
    int errorCode_ = 0;
    Json::Value data_;
    bool outputEnabled_ = true;
    std::function<void(const APIResponse&)> observer_;
    std::function<void(bool)> outputObserver_;
};

using APITaskFunc = void (*)(APIRequest*, APIResponse*, void*);

// A background task record of the host: built on the stack for one request.
class APIPolling {
public:
    explicit APIPolling(APIRequest* req);
    ~APIPolling();
    APIPolling(const APIPolling&) = delete;
    APIPolling& operator=(const APIPolling&) = delete;

    void SetRequest(APIRequest* req);
    void SetGroupAttr(const std::string& group);
    void SetRemoveAttr(bool remove);
    void SetPrefixAttr(const std::string& prefix);

    // Starts task(req, resp_of_task, data) in the background and answers the
    // current request with {"task_id": ID}.
    void Start(APIResponse* resp, APITaskFunc task, void* data);
    bool Status(const std::string& taskId, Json::Value& status);
    bool Stop(const std::string& taskId, bool kill);

private:
    APIRequest* req_;
    std::string group_;
    bool remove_ = false;
    std::string prefix_;
};

typedef void (*APIFunc)(APIRequest*, APIResponse*);

// One entry of a plug-in's API table; read in place by the host.
struct API_TABLE {
    const char* szAPI;
    int iVersion;
    const char* szMethod;
    APIFunc api;
};

static_assert(sizeof(API_TABLE) == 32, "API_TABLE is 32 bytes");
static_assert(offsetof(API_TABLE, szAPI) == 0, "szAPI at 0");
static_assert(offsetof(API_TABLE, iVersion) == 8, "iVersion at 8");
static_assert(offsetof(API_TABLE, szMethod) == 16, "szMethod at 16");
static_assert(offsetof(API_TABLE, api) == 24, "api at 24");

}  // namespace TAVO

// Every plug-in exports these two under their plain names.
extern "C" TAVO_EXPORT TAVO::API_TABLE* GetAPITable(void);
