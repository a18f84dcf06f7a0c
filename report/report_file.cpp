// Where the report goes: a target checked before anything is sent, and a write
// that either replaces the old report whole or leaves it as it was.
#include "report/report.h"
#include "os/replacing_file.h"

bool ReportTargetUsable(const std::string& path, std::string& error) { return FileTargetUsable(path, error); }

bool WriteReportFile(const std::string& path, const std::string& content, std::string& error) {
    ReplacingFile file;
    std::string reason;
    if (!file.Create(path, reason)) {
        error = "cannot create a file beside it (" + reason + ")";
        return false;
    }
    if (!file.Write(content.data(), content.size(), reason)) {
        error = "writing it failed: " + reason + "; any earlier report there is as it was";
        return false;  // the file removes what it wrote
    }
    if (!file.Commit(reason)) {
        error = reason + "; any earlier report there is as it was";
        return false;
    }
    return true;
}
