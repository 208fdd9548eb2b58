// APIPolling fake: records attributes and calls; Start answers like the host.
#include "fake.h"

namespace TAVO {

APIPolling::APIPolling(APIRequest* req) : req_(req) { fake::Call("APIPolling::APIPolling", 0); }
APIPolling::~APIPolling() { fake::Call("APIPolling::~APIPolling", 0); }

void APIPolling::SetRequest(APIRequest* req) {
    req_ = req;
    fake::Polling().attrs.push_back("request");
}
void APIPolling::SetGroupAttr(const std::string& group) {
    group_ = group;
    fake::Polling().attrs.push_back("group=" + group);
}
void APIPolling::SetRemoveAttr(bool remove) {
    remove_ = remove;
    fake::Polling().attrs.push_back(std::string("remove=") + (remove ? "1" : "0"));
}
void APIPolling::SetPrefixAttr(const std::string& prefix) {
    prefix_ = prefix;
    fake::Polling().attrs.push_back("prefix=" + prefix);
}

void APIPolling::Start(APIResponse* resp, APITaskFunc task, void* data) {
    fake::Call("APIPolling::Start", 0);
    fake::Polling().startedTask = task;
    (void)data;
    Json::Value answer(Json::objectValue);
    answer["task_id"] = prefix_ + "1";
    resp->SetSuccess(answer);
}

bool APIPolling::Status(const std::string& taskId, Json::Value& status) {
    fake::Call("APIPolling::Status", 0);
    fake::Polling().statusIds.push_back(taskId);
    status = fake::Polling().statusValue;
    return fake::Polling().statusResult;
}

bool APIPolling::Stop(const std::string& taskId, bool kill) {
    fake::Call("APIPolling::Stop", 0);
    fake::Polling().stops.emplace_back(taskId, kill);
    return fake::Polling().stopResult;
}

}  // namespace TAVO
