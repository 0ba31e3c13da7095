#include "install/AbilityInstallTool.h"
#include "core/LogCategories.h"

#include "core/TaskCodes.h"

#include "install/DownloadTask.h"
#include "install/ReplaceTask.h"
#include "install/UnzipTask.h"

#include <QDebug>
#include <QDir>
#include <QUrl>

using TaskCodes::kFinish;
using TaskCodes::kInvalidParam;
using TaskCodes::kTaskExist;

// What download, unzip and replace read from their data.
constexpr char kPaths[] = R"({"from":"<url or path>","to":"<path>","extra":""})";

const std::vector<AbilityInstallTool::Row> AbilityInstallTool::kCommands = {
    {"download", &AbilityInstallTool::DealDownload, ReplyKind::Progress, {kFinish}, "stop_download", kPaths},
    Row::Stop("stop_download", "download"),
    {"unzip", &AbilityInstallTool::DealUnzip, ReplyKind::Progress, {kFinish}, "stop_unzip", kPaths},
    Row::Stop("stop_unzip", "unzip"),
    {"replace", &AbilityInstallTool::DealReplace, ReplyKind::Progress, {kFinish}, "stop_replace", kPaths},
    Row::Stop("stop_replace", "replace"),
};

namespace {

// A local path from a client must say exactly where it is: a relative one would land wherever
// the service happens to run.
bool IsUsableLocalPath(const QString& _qstrPath)
{
    return QDir::isAbsolutePath(_qstrPath) && !_qstrPath.contains(QChar(0));
}

TaskTable::Style InstallStyle()
{
    TaskTable::Style style;
    // Every report is forwarded, unfiltered, in single precision as clients have always had it.
    style.progressBody = [](double _dPercent, const QString&) {
        CommandInstallToolBody body;
        body.percent = _dPercent;
        return body.ToString();
    };
    return style;
}

} // namespace

AbilityInstallTool::AbilityInstallTool() : AbilityTable(kCommands, InstallStyle())
{
    qRegisterMetaType<qint64>("qint64");
}

std::optional<Handled> AbilityInstallTool::Refusal(const JsonCommand& _jsonCommand, bool _blLocalFrom,
                                                   CommandInstallToolBody& _body) const
{
    if (Tasks().Contains(_jsonCommand.guid))
        return Handled::Refused(kTaskExist, TaskCodes::Text(kTaskExist));
    _body.LoadFromString(_jsonCommand.data);
    if (_jsonCommand.command == QLatin1String("download"))
        qCDebug(lcInstall).noquote() << "downding from:" + _body.from + " to " + _body.to + " MD5:[" +
                                            _body.extra + "]";
    else if (_jsonCommand.command == QLatin1String("unzip"))
        qCDebug(lcInstall).noquote() << "unzip from:" + _body.from + " to " + _body.to;
    else
        qCDebug(lcInstall).noquote() << "replace from:" + _body.from + " to " + _body.to +
                                            " bak folder:" + _body.extra;
    if (_body.from.isEmpty() || _body.to.isEmpty() || (_blLocalFrom && !IsUsableLocalPath(_body.from)) ||
        !IsUsableLocalPath(_body.to))
        return Handled::Refused(kInvalidParam, TaskCodes::Text(kInvalidParam));
    return std::nullopt;
}

Handled AbilityInstallTool::DealDownload(const JsonCommand& _jsonCommand)
{
    CommandInstallToolBody body;
    if (std::optional<Handled> refused = Refusal(_jsonCommand, false, body))
        return std::move(*refused);
    return Handled::Started(
        std::make_unique<DownloadTask>(QUrl(body.from), body.to, body.extra, _jsonCommand.guid));
}

Handled AbilityInstallTool::DealUnzip(const JsonCommand& _jsonCommand)
{
    CommandInstallToolBody body;
    if (std::optional<Handled> refused = Refusal(_jsonCommand, true, body))
        return std::move(*refused);
    return Handled::Started(std::make_unique<UnzipTask>(body.from, body.to, _jsonCommand.guid));
}

Handled AbilityInstallTool::DealReplace(const JsonCommand& _jsonCommand)
{
    CommandInstallToolBody body;
    if (std::optional<Handled> refused = Refusal(_jsonCommand, true, body))
        return std::move(*refused);
    return Handled::Started(std::make_unique<ReplaceTask>(body.from, body.to, body.extra, _jsonCommand.guid));
}
