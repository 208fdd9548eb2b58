// Scan history: the runs with their detections, the failed-move list, and
// the engine facts and settings no other plug-in shows.
#pragma once

#include <string>

#include "tavo/webapi.h"

namespace TAVO {
namespace AntiVirus {

class HistoryHandler {
public:
    HistoryHandler(APIRequest* req, APIResponse* resp, const char* method);
    virtual ~HistoryHandler();

    void List() const;
    void Get() const;
    void FailedMoves() const;
    void EngineGet() const;
    void EngineSet() const;

protected:
    void CheckParam(Json::Value& jParams, int& errCode) const;

private:
    // start and limit of a page: 32-bit, limit at most 1000; else logged and 120.
    int PageBounds(const Json::Value& jParams, int& start, int& limit) const;

    APIRequest* _req;
    APIResponse* _resp;
    const std::string _method;
};

}  // namespace AntiVirus
}  // namespace TAVO
