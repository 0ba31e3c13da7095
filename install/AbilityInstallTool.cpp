#include "install/AbilityInstallTool.h"

#include "core/AbilityReply.h"
#include "core/CommandTable.h"
#include "install/Downloader.h"
#include "install/ReplaceHelper.h"
#include "install/ZlibHelper.h"

#include <QDebug>
#include <QDir>
#include <QUrl>

#include <cmath>

const AbilityInstallTool::CommandEntry AbilityInstallTool::kCommands[] = {
    {"download", &AbilityInstallTool::DealDownload}, {"stop_download", &AbilityInstallTool::DealStopDownload},
    {"unzip", &AbilityInstallTool::DealUnzip},       {"stop_unzip", &AbilityInstallTool::DealStopUnzip},
    {"replace", &AbilityInstallTool::DealReplace},   {"stop_replace", &AbilityInstallTool::DealStopReplace},
};

namespace {

const QString kTextFinish = QStringLiteral("finish");
const QString kTextTaskExist = QStringLiteral("task already exist");
const QString kTextInvalidParam = QStringLiteral("invalid param");
const QString kTextTaskNotExist = QStringLiteral("task not exist");

// A local path from a client must say exactly where it is: a relative one would land wherever
// the service happens to run.
bool IsUsableLocalPath(const QString& _qstrPath)
{
    return QDir::isAbsolutePath(_qstrPath) && !_qstrPath.contains(QChar(0));
}

} // namespace

AbilityInstallTool::AbilityInstallTool()
{
    qRegisterMetaType<qint64>("qint64");
}

AbilityInstallTool::~AbilityInstallTool()
{
    // Destroying the workers stops them; a replace in progress is undone here.
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_mapReplace.clear();
    m_mapReplaceStopping.clear();
    m_mapUnzip.clear();
    m_mapDowloader.clear();
}

std::vector<QString> AbilityInstallTool::GetAbilities()
{
    return CommandTable::Names(kCommands);
}

bool AbilityInstallTool::DealCommand(const JsonCommand& _jsonCommand)
{
    const CommandEntry* entry = CommandTable::Find(kCommands, _jsonCommand);
    if (!entry)
        return false;
    (this->*entry->handler)(_jsonCommand);
    return true;
}

int AbilityInstallTool::TaskCount()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return static_cast<int>(m_mapDowloader.size() + m_mapUnzip.size() + m_mapReplace.size());
}

bool AbilityInstallTool::IdInUse(const QString& _qstrId) const
{
    return m_mapDowloader.count(_qstrId) || m_mapUnzip.count(_qstrId) || m_mapReplace.count(_qstrId);
}

bool AbilityInstallTool::AcceptStart(const JsonCommand& _jsonCommand, bool _blLocalFrom,
                                     CommandInstallToolBody& _body)
{
    if (IdInUse(_jsonCommand.guid)) {
        AbilityReply::Send(_jsonCommand, kTaskExist, kTextTaskExist);
        return false;
    }
    _body.LoadFromString(_jsonCommand.data);
    if (_jsonCommand.command == QLatin1String("download"))
        qDebug().noquote() << "downding from:" + _body.from + " to " + _body.to + " MD5:[" + _body.extra +
                                  "]";
    else if (_jsonCommand.command == QLatin1String("unzip"))
        qDebug().noquote() << "unzip from:" + _body.from + " to " + _body.to;
    else
        qDebug().noquote() << "replace from:" + _body.from + " to " + _body.to + " bak folder:" + _body.extra;
    if (_body.from.isEmpty() || _body.to.isEmpty() || (_blLocalFrom && !IsUsableLocalPath(_body.from)) ||
        !IsUsableLocalPath(_body.to)) {
        AbilityReply::Send(_jsonCommand, kInvalidParam, kTextInvalidParam);
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
    m_mapDowloader[_jsonCommand.guid] = TaskEntry<Downloader>{worker, _jsonCommand};
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
    m_mapUnzip[_jsonCommand.guid] = TaskEntry<ZlibHelper>{worker, _jsonCommand};
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
    m_mapReplace[_jsonCommand.guid] = TaskEntry<ReplaceHelper>{worker, _jsonCommand};
    // An empty backup folder is the worker's to refuse, with its own error text.
    worker->startReplace(body.from, body.to, QString(), true, body.extra, _jsonCommand.guid);
}

void AbilityInstallTool::DealStopDownload(const JsonCommand& _jsonCommand)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const auto it = m_mapDowloader.find(_jsonCommand.guid);
    if (it == m_mapDowloader.end()) {
        AbilityReply::Send(_jsonCommand, kTaskNotExist, kTextTaskNotExist);
        return;
    }
    it->second.pWorker->stopDownload();
    m_mapDowloader.erase(it);
}

void AbilityInstallTool::DealStopUnzip(const JsonCommand& _jsonCommand)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const auto it = m_mapUnzip.find(_jsonCommand.guid);
    if (it == m_mapUnzip.end()) {
        AbilityReply::Send(_jsonCommand, kTaskNotExist, kTextTaskNotExist);
        return;
    }
    it->second.pWorker->CancelUnzipTask();
    m_mapUnzip.erase(it);
}

void AbilityInstallTool::DealStopReplace(const JsonCommand& _jsonCommand)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const auto it = m_mapReplace.find(_jsonCommand.guid);
    if (it == m_mapReplace.end()) {
        AbilityReply::Send(_jsonCommand, kTaskNotExist, kTextTaskNotExist);
        return;
    }
    // The worker puts back what this run saved on its own thread; the task is dropped when it
    // reports the stop, so this thread never waits for a restore.
    it->second.pWorker->requestStop();
    m_mapReplaceStopping[it->second.pWorker.get()] = it->second.pWorker;
    m_mapReplace.erase(it);
}

void AbilityInstallTool::slotProgress(qint64 bytesReceived, qint64 bytesTotal, const QString& strId)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const JsonCommand* request = nullptr;
    if (const auto it = m_mapDowloader.find(strId); it != m_mapDowloader.end())
        request = &it->second.jsonCommand;
    else if (const auto itUnzip = m_mapUnzip.find(strId); itUnzip != m_mapUnzip.end())
        request = &itUnzip->second.jsonCommand;
    else if (const auto itReplace = m_mapReplace.find(strId); itReplace != m_mapReplace.end())
        request = &itReplace->second.jsonCommand;
    if (!request) {
        qCritical().noquote() << "task progress occured, no task found! id:" + strId;
        return;
    }
    // Single precision, as clients have always received it; an unknown or zero total gives 0,
    // never a value JSON cannot carry.
    float percent = 0;
    if (bytesTotal > 0)
        percent = static_cast<float>(bytesReceived) * 100.0f / static_cast<float>(bytesTotal);
    if (!std::isfinite(percent))
        percent = 0;
    CommandInstallToolBody body;
    body.percent = static_cast<double>(percent);
    AbilityReply::Send(*request, kProgress, QString(), body.ToString());
}

bool AbilityInstallTool::DropStopped(const QString& _qstrId)
{
    // Matched by the reporting worker, not the id: a new task may already use the same id.
    const auto it = m_mapReplaceStopping.find(sender());
    if (it == m_mapReplaceStopping.end())
        return false;
    qDebug().noquote() << "AbilityInstallTool:stopped replace ended:" + _qstrId;
    m_mapReplaceStopping.erase(it);
    return true;
}

void AbilityInstallTool::slotFinished(const QString& strId)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (DropStopped(strId))
        return;
    if (const auto it = m_mapDowloader.find(strId); it != m_mapDowloader.end()) {
        AbilityReply::Send(it->second.jsonCommand, kFinish, kTextFinish);
        m_mapDowloader.erase(it);
    } else if (const auto itUnzip = m_mapUnzip.find(strId); itUnzip != m_mapUnzip.end()) {
        AbilityReply::Send(itUnzip->second.jsonCommand, kFinish, kTextFinish);
        m_mapUnzip.erase(itUnzip);
    } else if (const auto itReplace = m_mapReplace.find(strId); itReplace != m_mapReplace.end()) {
        AbilityReply::Send(itReplace->second.jsonCommand, kFinish, kTextFinish);
        m_mapReplace.erase(itReplace);
    } else {
        qCritical().noquote() << "task finished, no task found! id:" + strId;
    }
}

void AbilityInstallTool::slotErrorOccurred(const QString& _qstrErrorInfo, const QString& strId)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    qDebug().noquote() << "AbilityInstallTool::slotErrorOccurred:begin:" + strId;
    if (DropStopped(strId))
        return;
    if (const auto it = m_mapDowloader.find(strId); it != m_mapDowloader.end()) {
        AbilityReply::Send(it->second.jsonCommand, kFailed, _qstrErrorInfo);
        m_mapDowloader.erase(it);
        qDebug() << "AbilityInstallTool::slotErrorOccurred:m_mapDowloader.erase(itDownloader) earsed";
    } else if (const auto itUnzip = m_mapUnzip.find(strId); itUnzip != m_mapUnzip.end()) {
        AbilityReply::Send(itUnzip->second.jsonCommand, kFailed, _qstrErrorInfo);
        m_mapUnzip.erase(itUnzip);
    } else if (const auto itReplace = m_mapReplace.find(strId); itReplace != m_mapReplace.end()) {
        // The worker has already put back what the failed run had saved.
        AbilityReply::Send(itReplace->second.jsonCommand, kFailed, _qstrErrorInfo);
        m_mapReplace.erase(itReplace);
    } else {
        qCritical().noquote() << "error occured, no task found! id[" + strId + "] error:[" + _qstrErrorInfo +
                                     "]";
        qDebug().noquote() << "AbilityInstallTool::slotErrorOccurred:end:" + strId;
    }
}
