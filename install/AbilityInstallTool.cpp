#include "install/AbilityInstallTool.h"
#include "core/LogCategories.h"

#include "core/AbilityReply.h"
#include "install/Downloader.h"
#include "install/ReplaceHelper.h"
#include "install/ZlibHelper.h"

#include <QDebug>
#include <QDir>
#include <QUrl>

using TaskCodes::kFailed;
using TaskCodes::kFinish;
using TaskCodes::kInvalidParam;
using TaskCodes::kTaskExist;

// What download, unzip and replace read from their data.
constexpr char kPaths[] = R"({"from":"<url or path>","to":"<path>","extra":""})";

const std::vector<AbilityInstallTool::Row> AbilityInstallTool::kCommands = {
    {"download", &AbilityInstallTool::DealDownload, ReplyKind::Progress, {kFinish}, "stop_download", kPaths},
    {"stop_download", &AbilityInstallTool::DealStopDownload, ReplyKind::Silent, {}},
    {"unzip", &AbilityInstallTool::DealUnzip, ReplyKind::Progress, {kFinish}, "stop_unzip", kPaths},
    {"stop_unzip", &AbilityInstallTool::DealStopUnzip, ReplyKind::Silent, {}},
    {"replace", &AbilityInstallTool::DealReplace, ReplyKind::Progress, {kFinish}, "stop_replace", kPaths},
    {"stop_replace", &AbilityInstallTool::DealStopReplace, ReplyKind::Silent, {}},
};

namespace {

// A local path from a client must say exactly where it is: a relative one would land wherever
// the service happens to run.
bool IsUsableLocalPath(const QString& _qstrPath)
{
    return QDir::isAbsolutePath(_qstrPath) && !_qstrPath.contains(QChar(0));
}

} // namespace

AbilityInstallTool::AbilityInstallTool() : AbilityTable(kCommands)
{
    qRegisterMetaType<qint64>("qint64");
}

AbilityInstallTool::~AbilityInstallTool()
{
    // Destroying the workers stops them; a replace in progress is undone here.
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_mapReplace.Clear();
    m_mapReplaceStopping.clear();
    m_mapUnzip.Clear();
    m_mapDowloader.Clear();
}

int AbilityInstallTool::TaskCount()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return static_cast<int>(m_mapDowloader.Size() + m_mapUnzip.Size() + m_mapReplace.Size());
}

bool AbilityInstallTool::IdInUse(const QString& _qstrId) const
{
    return m_mapDowloader.Contains(_qstrId) || m_mapUnzip.Contains(_qstrId) || m_mapReplace.Contains(_qstrId);
}

bool AbilityInstallTool::AcceptStart(const JsonCommand& _jsonCommand, bool _blLocalFrom,
                                     CommandInstallToolBody& _body)
{
    if (IdInUse(_jsonCommand.guid)) {
        AbilityReply::Send(_jsonCommand, kTaskExist, TaskCodes::Text(kTaskExist));
        return false;
    }
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
        !IsUsableLocalPath(_body.to)) {
        AbilityReply::Send(_jsonCommand, kInvalidParam, TaskCodes::Text(kInvalidParam));
        return false;
    }
    return true;
}

void AbilityInstallTool::DealDownload(const JsonCommand& _jsonCommand)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    CommandInstallToolBody body;
    if (!AcceptStart(_jsonCommand, false, body))
        return;
    auto worker = std::make_shared<Downloader>();
    connect(worker.get(), &Downloader::signProgress, this, &AbilityInstallTool::slotProgress,
            Qt::QueuedConnection);
    connect(worker.get(), &Downloader::signFinished, this, &AbilityInstallTool::slotFinished,
            Qt::QueuedConnection);
    connect(worker.get(), &Downloader::signErrorOccurred, this, &AbilityInstallTool::slotErrorOccurred,
            Qt::QueuedConnection);
    m_mapDowloader.Add(_jsonCommand, worker);
    worker->downloadFile(QUrl(body.from), body.to, body.extra, _jsonCommand.guid);
}

void AbilityInstallTool::DealUnzip(const JsonCommand& _jsonCommand)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    CommandInstallToolBody body;
    if (!AcceptStart(_jsonCommand, true, body))
        return;
    auto worker = std::make_shared<ZlibHelper>();
    connect(worker.get(), &ZlibHelper::signUnzipProgress, this, &AbilityInstallTool::slotProgress,
            Qt::QueuedConnection);
    connect(worker.get(), &ZlibHelper::signUnzipFinished, this, &AbilityInstallTool::slotFinished,
            Qt::QueuedConnection);
    connect(worker.get(), &ZlibHelper::signErrorOccurred, this, &AbilityInstallTool::slotErrorOccurred,
            Qt::QueuedConnection);
    m_mapUnzip.Add(_jsonCommand, worker);
    worker->startUnzip(body.from, body.to, _jsonCommand.guid);
}

void AbilityInstallTool::DealReplace(const JsonCommand& _jsonCommand)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    CommandInstallToolBody body;
    if (!AcceptStart(_jsonCommand, true, body))
        return;
    auto worker = std::make_shared<ReplaceHelper>();
    connect(worker.get(), &ReplaceHelper::signReplaceProgress, this, &AbilityInstallTool::slotProgress,
            Qt::QueuedConnection);
    connect(worker.get(), &ReplaceHelper::signReplaceFinished, this, &AbilityInstallTool::slotFinished,
            Qt::QueuedConnection);
    connect(worker.get(), &ReplaceHelper::signErrorOccurred, this, &AbilityInstallTool::slotErrorOccurred,
            Qt::QueuedConnection);
    m_mapReplace.Add(_jsonCommand, worker);
    // An empty backup folder is the worker's to refuse, with its own error text.
    worker->startReplace(body.from, body.to, QString(), true, body.extra, _jsonCommand.guid);
}

void AbilityInstallTool::DealStopDownload(const JsonCommand& _jsonCommand)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (const auto* entry = m_mapDowloader.FindOrRefuse(_jsonCommand)) {
        entry->pWorker->stopDownload();
        m_mapDowloader.Take(_jsonCommand.guid);
    }
}

void AbilityInstallTool::DealStopUnzip(const JsonCommand& _jsonCommand)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (const auto* entry = m_mapUnzip.FindOrRefuse(_jsonCommand)) {
        entry->pWorker->CancelUnzipTask();
        m_mapUnzip.Take(_jsonCommand.guid);
    }
}

void AbilityInstallTool::DealStopReplace(const JsonCommand& _jsonCommand)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_mapReplace.FindOrRefuse(_jsonCommand))
        return;
    // The worker puts back what this run saved on its own thread; the task is dropped when it
    // reports the stop, so this thread never waits for a restore.
    const std::shared_ptr<ReplaceHelper> worker = m_mapReplace.Take(_jsonCommand.guid);
    worker->requestStop();
    m_mapReplaceStopping[worker.get()] = worker;
}

bool AbilityInstallTool::FinishTask(const QString& _qstrId, qint64 _nCode, const QString& _qstrError)
{
    if (m_mapDowloader.Contains(_qstrId))
        m_mapDowloader.Finish(_qstrId, _nCode, _qstrError);
    else if (m_mapUnzip.Contains(_qstrId))
        m_mapUnzip.Finish(_qstrId, _nCode, _qstrError);
    else if (m_mapReplace.Contains(_qstrId))
        m_mapReplace.Finish(_qstrId, _nCode, _qstrError); // the worker has put back what it saved
    else
        return false;
    return true;
}

void AbilityInstallTool::slotProgress(qint64 bytesReceived, qint64 bytesTotal, const QString& strId)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    // Every report is forwarded, unfiltered, in single precision as clients have always had it.
    const double percent = PercentFilter::Percent(bytesReceived, bytesTotal);
    CommandInstallToolBody body;
    body.percent = percent;
    if (auto* entry = m_mapDowloader.Find(strId))
        m_mapDowloader.SendProgress(*entry, percent, body.ToString());
    else if (auto* entryUnzip = m_mapUnzip.Find(strId))
        m_mapUnzip.SendProgress(*entryUnzip, percent, body.ToString());
    else if (auto* entryReplace = m_mapReplace.Find(strId))
        m_mapReplace.SendProgress(*entryReplace, percent, body.ToString());
    else
        qCCritical(lcInstall).noquote() << "task progress occured, no task found! id:" + strId;
}

bool AbilityInstallTool::DropStopped(const QString& _qstrId)
{
    // Matched by the reporting worker, not the id: a new task may already use the same id.
    const auto it = m_mapReplaceStopping.find(sender());
    if (it == m_mapReplaceStopping.end())
        return false;
    qCDebug(lcInstall).noquote() << "AbilityInstallTool:stopped replace ended:" + _qstrId;
    m_mapReplaceStopping.erase(it);
    return true;
}

void AbilityInstallTool::slotFinished(const QString& strId)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (DropStopped(strId))
        return;
    if (!FinishTask(strId, kFinish, TaskCodes::Text(kFinish)))
        qCCritical(lcInstall).noquote() << "task finished, no task found! id:" + strId;
}

void AbilityInstallTool::slotErrorOccurred(const QString& _qstrErrorInfo, const QString& strId)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    qCDebug(lcInstall).noquote() << "AbilityInstallTool::slotErrorOccurred:begin:" + strId;
    if (DropStopped(strId))
        return;
    const bool download = m_mapDowloader.Contains(strId);
    if (FinishTask(strId, kFailed, _qstrErrorInfo)) {
        if (download)
            qCDebug(lcInstall)
                << "AbilityInstallTool::slotErrorOccurred:m_mapDowloader.erase(itDownloader) earsed";
    } else {
        qCCritical(lcInstall).noquote()
            << "error occured, no task found! id[" + strId + "] error:[" + _qstrErrorInfo + "]";
        qCDebug(lcInstall).noquote() << "AbilityInstallTool::slotErrorOccurred:end:" + strId;
    }
}
