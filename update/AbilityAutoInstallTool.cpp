#include "update/AbilityAutoInstallTool.h"
#include "core/LogCategories.h"

#include "core/AbilityReply.h"
#include "core/Config.h"
#include "install/PathClaim.h"
#include "install/PackageSignature.h"
#include "system/ProcessHelper.h"
#include "core/PercentFilter.h"
#include "update/ToolBox.h"
#include "update/UninstallPrepareHelper.h"

#include <QDebug>
#include <QDir>

using TaskCodes::kFailed;
using TaskCodes::kFinish;
using TaskCodes::kInvalidParam;
using TaskCodes::kTaskExist;
using TaskCodes::kTaskNotExist;

const std::vector<AbilityAutoInstallTool::Row> AbilityAutoInstallTool::kCommands = {
    {"pre_uninst", &AbilityAutoInstallTool::DealPreUninst, ReplyKind::Single, {kFinish}},
    {"update", &AbilityAutoInstallTool::DealUpdate, ReplyKind::Progress, {kFinish}, "stop_update"},
    {"stop_update", &AbilityAutoInstallTool::DealStopUpdate, ReplyKind::Silent, {}},
};

namespace {

// A path from a client must say exactly where it is.
bool IsUsablePath(const QString& _qstrPath)
{
    return _qstrPath.isEmpty() || (QDir::isAbsolutePath(_qstrPath) && !_qstrPath.contains(QChar(0)));
}

} // namespace

AbilityAutoInstallTool::AbilityAutoInstallTool() : AbilityTable(kCommands)
{
    qRegisterMetaType<qint64>("qint64");
    // A key meant to protect the installations must not silently stop protecting them.
    const QString key = Config::Instance().GetUpdatePublicKey();
    if (!key.isEmpty() && !PackageSignature::IsUsablePublicKey(key))
        qCWarning(lcUpdate).noquote()
            << "AbilityAutoInstallTool:update/publicKey in " + Config::Instance().GetConfigPath() +
                   " is not Base64 of a 32-byte Ed25519 public key: every update fails with "
                   "SIGNATURE_FAILED_CONTACT_US until it is corrected";
    else if (!key.isEmpty())
        qCWarning(lcUpdate)
            << "AbilityAutoInstallTool:update packages must be signed with the key of update/publicKey";
    connect(this, &AbilityAutoInstallTool::SignDeleteUninstallPrepareHelperLater, this,
            &AbilityAutoInstallTool::SlotDeleteUninstallPrepareHelperLater, Qt::QueuedConnection);
}

AbilityAutoInstallTool::~AbilityAutoInstallTool()
{
    // Destroying a toolbox stops it and puts back an installation whose replace had begun.
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_mapToolBox.Clear();
    m_mapUninstallPrepareHelper.Clear();
}

bool AbilityAutoInstallTool::DealCommand(const JsonCommand& _jsonCommand)
{
    if (_jsonCommand.type == Envelope::kTransfer && _jsonCommand.command == QLatin1String("pre_uninst")) {
        DealHandshakeAnswer(_jsonCommand);
        return true;
    }
    return AbilityTable::DealCommand(_jsonCommand);
}

QString AbilityAutoInstallTool::StatusText(int _emStatus)
{
    switch (_emStatus) {
    case UpdateTool::kFinished:
        return QStringLiteral("succeed");
    case UpdateTool::kDownloading:
        return QStringLiteral("downloading");
    case UpdateTool::kUnzipping:
        return QStringLiteral("unziping");
    case UpdateTool::kReplacing:
        return QStringLiteral("replacing");
    case kPreparing:
        return QStringLiteral("preparing uninstall");
    case kReadyToUninstall:
        return QStringLiteral("ready to unstall");
    case kCannotUninstall:
        return QStringLiteral("cannot unstall");
    default:
        return QStringLiteral("ready");
    }
}

bool AbilityAutoInstallTool::AcceptBody(const JsonCommand& _jsonCommand, bool _blUpdate,
                                        CommandAutoInstallToolBody& _body)
{
    const bool parsed = _body.LoadFromString(_jsonCommand.data);
    bool usable = parsed && CommandAutoInstallToolBody::IsPlainAppId(_body.appid) &&
                  ProcessHelper::IsPlainProcessName(_body.processName);
    if (_blUpdate)
        usable = usable && !_body.url.isEmpty() && IsUsablePath(_body.downloadPath) &&
                 IsUsablePath(_body.unzipPath) && IsUsablePath(_body.installPath) &&
                 IsUsablePath(_body.backupPath);
    if (!usable)
        SendResult(_jsonCommand, kInvalidParam, QStringLiteral("invalid_param"));
    return usable;
}

void AbilityAutoInstallTool::DealPreUninst(const JsonCommand& _jsonCommand)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_mapUninstallPrepareHelper.Contains(_jsonCommand.guid)) {
        SendResult(_jsonCommand, kTaskExist, QStringLiteral("task_already_exist"));
        return;
    }
    CommandAutoInstallToolBody body;
    if (!AcceptBody(_jsonCommand, false, body))
        return;
    auto helper = std::make_shared<UninstallPrepareHelper>(body.appid, body.processName, _jsonCommand.guid);
    m_mapUninstallPrepareHelper.Add(_jsonCommand, helper, {body.appid, nullptr});
    helper->Start([this, _jsonCommand](bool _blReady, const QString& _qstrMessage) {
        if (_blReady)
            SendResult(_jsonCommand, kFinish, StatusText(kReadyToUninstall));
        else if (_qstrMessage == UninstallPrepareHelper::kBusy)
            AbilityReply::Send(_jsonCommand, Envelope::kAbilityNotDealt, _qstrMessage);
        else
            SendError(_jsonCommand, StatusText(kCannotUninstall), _qstrMessage);
        emit SignDeleteUninstallPrepareHelperLater(_jsonCommand.guid);
    });
}

void AbilityAutoInstallTool::DealUpdate(const JsonCommand& _jsonCommand)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_mapToolBox.Contains(_jsonCommand.guid) || m_mapUninstallPrepareHelper.Contains(_jsonCommand.guid)) {
        SendResult(_jsonCommand, kTaskExist, QStringLiteral("task_already_exist"));
        return;
    }
    CommandAutoInstallToolBody body;
    if (!AcceptBody(_jsonCommand, true, body))
        return;
    // Two updates of one application would share its work folders and its installation.
    if (IsBeingUpdated(body.appid)) {
        qCWarning(lcUpdate).noquote() << "AbilityAutoInstallTool::DealUpdate:already updating:" + body.appid;
        SendResult(_jsonCommand, kTaskExist, QStringLiteral("task_already_exist"));
        return;
    }
    // Nor may two updates of different applications extract into one folder or download into one
    // file: one would install the other's package.
    const std::shared_ptr<PathClaim> claim = ClaimPaths(body);
    if (!claim) {
        SendResult(_jsonCommand, kTaskExist, QStringLiteral("task_already_exist"));
        return;
    }
    qCDebug(lcUpdate).noquote() << "AbilityAutoInstallTool::DealUpdate:" + body.ToString();
    auto helper = std::make_shared<UninstallPrepareHelper>(body.appid, body.processName, _jsonCommand.guid);
    // Stored first: an application that is not running completes the handshake at once.
    m_mapUninstallPrepareHelper.Add(_jsonCommand, helper, {body.appid, claim});
    helper->Start([this, _jsonCommand, body, claim](bool _blReady, const QString& _qstrMessage) {
        std::lock_guard<std::recursive_mutex> guard(m_mutex);
        if (_blReady)
            StartToolBox(_jsonCommand, body, claim);
        else if (_qstrMessage == UninstallPrepareHelper::kBusy)
            AbilityReply::Send(_jsonCommand, Envelope::kAbilityNotDealt, _qstrMessage);
        else
            SendError(_jsonCommand, StatusText(kCannotUninstall), _qstrMessage);
        emit SignDeleteUninstallPrepareHelperLater(_jsonCommand.guid);
    });
}

void AbilityAutoInstallTool::StartToolBox(const JsonCommand& _jsonCommand,
                                          const CommandAutoInstallToolBody& _body,
                                          const std::shared_ptr<PathClaim>& _pClaim)
{
    auto toolBox = std::make_shared<UpdateTool::ToolBox>(_body.appid, _body, _jsonCommand.guid);
    connect(toolBox.get(), &UpdateTool::ToolBox::signProgress, this, &AbilityAutoInstallTool::slotProgress,
            Qt::QueuedConnection);
    connect(toolBox.get(), &UpdateTool::ToolBox::signFinished, this, &AbilityAutoInstallTool::slotFinished,
            Qt::QueuedConnection);
    connect(toolBox.get(), &UpdateTool::ToolBox::signErrorOccurred, this,
            &AbilityAutoInstallTool::slotErrorOccurred, Qt::QueuedConnection);
    // The first progress only sets the filter's starting point at 0; nothing is sent.
    SendProgress(m_mapToolBox.Add(_jsonCommand, toolBox, {_body.appid, _pClaim}), StatusText(kPreparing), 0);
    toolBox->startInstall();
}

std::shared_ptr<PathClaim> AbilityAutoInstallTool::ClaimPaths(const CommandAutoInstallToolBody& _body)
{
    // The default paths lie in the app id's own work folder, which one update at a time uses.
    QStringList paths;
    for (const QString& path : {_body.unzipPath, _body.downloadPath})
        if (!path.isEmpty())
            paths.append(PathClaim::Normal(path));
    QString busy;
    std::shared_ptr<PathClaim> claim = PathClaim::Take(paths, busy);
    if (!claim)
        qCWarning(lcUpdate).noquote()
            << "AbilityAutoInstallTool::DealUpdate:path used by a running update:" + busy;
    return claim;
}

bool AbilityAutoInstallTool::IsBeingUpdated(const QString& _qstrAppId) const
{
    for (const auto& entry : m_mapToolBox.Entries())
        if (entry.second.extra.qstrAppId == _qstrAppId)
            return true;
    for (const auto& entry : m_mapUninstallPrepareHelper.Entries())
        if (entry.second.extra.qstrAppId == _qstrAppId &&
            entry.second.request.command == QLatin1String("update"))
            return true;
    return false;
}

void AbilityAutoInstallTool::DealStopUpdate(const JsonCommand& _jsonCommand)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (const auto* entry =
            m_mapToolBox.FindOrRefuse(_jsonCommand, StatusBody(QStringLiteral("task_not_exist")))) {
        entry->pWorker->stopInstall();
        EndTask(_jsonCommand.guid);
    }
}

void AbilityAutoInstallTool::DealHandshakeAnswer(const JsonCommand& _jsonCommand)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const auto* entry =
        m_mapUninstallPrepareHelper.FindOrRefuse(_jsonCommand, StatusBody(QStringLiteral("task_not_exist")));
    if (!entry)
        return;
    // The helper may complete inside and schedule its own removal; keep it alive until then.
    const std::shared_ptr<UninstallPrepareHelper> helper = entry->pWorker;
    helper->OnRecvMessage(_jsonCommand);
}

void AbilityAutoInstallTool::SlotDeleteUninstallPrepareHelperLater(const QString& _qstrGuid)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_mapUninstallPrepareHelper.Take(_qstrGuid);
}

void AbilityAutoInstallTool::EndTask(const QString& _qstrGuid)
{
    // The toolbox may restore and join here; it leaves the table before its destructor runs.
    m_mapToolBox.Take(_qstrGuid);
}

void AbilityAutoInstallTool::slotProgress(int emStatus, qint64 bytesReceived, qint64 bytesTotal,
                                          const QString& strId)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto* entry = m_mapToolBox.Find(strId);
    if (!entry) {
        qCCritical(lcUpdate).noquote() << "task progress occured, no task found! id:" + strId;
        return;
    }
    SendProgress(*entry, StatusText(emStatus), PercentFilter::Percent(bytesReceived, bytesTotal));
}

void AbilityAutoInstallTool::slotFinished(const QString& strId)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const auto* entry = m_mapToolBox.Find(strId);
    if (!entry) {
        qCCritical(lcUpdate).noquote() << "task progress occured, no task found! id:" + strId;
        return;
    }
    SendResult(entry->request, kFinish, StatusText(UpdateTool::kFinished));
    EndTask(strId);
}

void AbilityAutoInstallTool::slotErrorOccurred(int emStatus, const QString& _qstrErrorInfo,
                                               const QString& strId)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const auto* entry = m_mapToolBox.Find(strId);
    if (!entry) {
        qCCritical(lcUpdate).noquote() << "task progress occured, no task found! id:" + strId;
        return;
    }
    SendError(entry->request, StatusText(emStatus), _qstrErrorInfo);
    EndTask(strId);
}

QString AbilityAutoInstallTool::StatusBody(const QString& _qstrStatus)
{
    CommandAutoInstallToolBody body;
    body.status = _qstrStatus;
    return body.ToString();
}

void AbilityAutoInstallTool::SendResult(const JsonCommand& _jsonCommand, qint64 _nCode,
                                        const QString& _qstrStatus)
{
    AbilityReply::Send(_jsonCommand, _nCode, TaskCodes::Text(_nCode), StatusBody(_qstrStatus));
}

void AbilityAutoInstallTool::SendError(const JsonCommand& _jsonCommand, const QString& _qstrStatus,
                                       const QString& _qstrError)
{
    AbilityReply::Send(_jsonCommand, kFailed, _qstrError, StatusBody(_qstrStatus));
}

void AbilityAutoInstallTool::SendProgress(ToolBoxTable::Entry& _entry, const QString& _qstrStatus,
                                          double _dPercent)
{
    if (!ToolBoxTable::PassesFilter(_entry, _dPercent, Config::Instance().GetPercentFilter()))
        return;
    CommandAutoInstallToolBody body;
    body.status = _qstrStatus;
    body.percent = _dPercent;
    ToolBoxTable::SendProgress(_entry, _dPercent, body.ToString());
}
