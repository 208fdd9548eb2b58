// Settings: the dashboard's status summary, definition updates, warning
// clearing, the antivirus configuration, the file extension list, the white
// list and the scan schedule (APIs General, Config, FileExt, WhiteList and
// Schedule).
#pragma once

#include <string>

#include "tavo/webapi.h"

namespace TAVO {
namespace AntiVirus {

class SettingsHandler {
public:
    SettingsHandler(APIRequest* req, APIResponse* resp, const char* method);
    virtual ~SettingsHandler();

    void GeneralGetSysInfo() const;
    void GeneralUpdate();
    void GeneralClearWarning() const;
    void ConfigGet() const;
    void ConfigSet() const;
    void ConfigRestoreDefault() const;
    void FileExtLoad() const;
    void FileExtAdd() const;
    void FileExtDelete() const;
    void WhiteListLoad() const;
    void WhiteListAdd() const;
    void WhiteListAddQuarantined() const;
    void WhiteListDelete() const;
    void ScheduleLoad() const;
    void ScheduleSave() const;

protected:
    void CheckParam(Json::Value& jParams, int& errCode) const;

private:
    // load of the extension list or the white list: one page and the count.
    void LoadListPage(bool blWhiteList) const;
    // delete of the extension list or the white list: each listed entry in turn.
    void RemoveListEntries(bool blWhiteList) const;

    APIRequest* _req;
    APIResponse* _resp;
    const std::string _method;
};

}  // namespace AntiVirus
}  // namespace TAVO
