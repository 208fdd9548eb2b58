// Event log: paging through the report with filters and sorting, deleting
// entries, and exporting the whole log as a text download.
#pragma once

#include <string>

#include "tavo/webapi.h"

namespace TAVO {
namespace AntiVirus {

class LogHandler {
public:
    LogHandler(APIRequest* req, APIResponse* resp, const char* method);
    virtual ~LogHandler();

    void Load() const;
    void Delete() const;
    void DeleteAdvanced() const;
    void Export() const;

protected:
    void CheckParam(Json::Value& jParams, int& errCode) const;

private:
    APIRequest* _req;
    APIResponse* _resp;
    const std::string _method;
};

}  // namespace AntiVirus
}  // namespace TAVO
