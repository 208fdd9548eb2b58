// Scan control: start a full, system or custom scan; pause, resume or stop
// the running task; acknowledge a finished scan's result.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

#include "tavo/webapi.h"

namespace TAVO {
namespace AntiVirus {

class ScanHandler {
public:
    ScanHandler(APIRequest* req, APIResponse* resp, const char* method);
    virtual ~ScanHandler();

    void StartFull() const;
    void StartSystem() const;
    void StartCustom() const;
    void Pause() const;
    void Resume() const;
    void Stop() const;
    void AckResult() const;

protected:
    void CheckParam(Json::Value& jParams, int& errCode) const;

private:
    // Starts the scanner with one argument in a detached child.
    void StartWithArgument(const char* szArgument) const;
    // Pause, resume and stop: the service action when a task runs (also an
    // update when blActsOnUpdate), then each button update in order.
    void ControlTask(
        bool blActsOnUpdate, int (*pfnAction)(), const char* szActionFailed,
        std::initializer_list<std::pair<int (*)(), const char*>> rgButtonUpdates) const;

    APIRequest* _req;
    APIResponse* _resp;
    const std::string _method;
};

}  // namespace AntiVirus
}  // namespace TAVO
