// APIRequest and APIResponse: plain data the host fills and sends.
#include "tavo/webapi.h"

namespace TAVO {

bool APIRequest::HasParam(const std::string& name) const {
    return params_.isObject() && params_.isMember(name);
}

Json::Value APIRequest::GetParam(const std::string& name, const Json::Value& defaultValue) const {
    if (!HasParam(name)) return defaultValue;
    return params_[name];
}

std::string APIRequest::GetUILanguage() const { return language_; }

void APIRequest::SetParam(const std::string& name, const Json::Value& value) {
    if (!params_.isObject()) params_ = Json::Value(Json::objectValue);
    params_[name] = value;
}

void APIResponse::SetSuccess(const Json::Value& data) {
    ++answers_;
    errorCode_ = 0;
    data_ = data;
    if (observer_) observer_(*this);
}

void APIResponse::SetError(int code, const Json::Value& data) {
    ++answers_;
    errorCode_ = code;
    data_ = data;
    if (observer_) observer_(*this);
}

void APIResponse::SetEnableOutput(bool enable) {
    outputEnabled_ = enable;
    if (outputObserver_) outputObserver_(enable);
}

Json::Value APIResponse::ToJson() const {
    Json::Value answer(Json::objectValue);
    if (errorCode_ == 0) {
        answer["success"] = true;
        if (!data_.isNull()) answer["data"] = data_;
    } else {
        answer["success"] = false;
        answer["error"]["code"] = errorCode_;
        if (!data_.isNull()) answer["data"] = data_;
    }
    return answer;
}

}  // namespace TAVO
