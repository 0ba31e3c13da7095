#include "update/AbilityAutoInstallTool.h"
#include "core/LogCategories.h"

#include "core/Config.h"
#include "core/TaskCodes.h"
#include "install/PackageSignature.h"
#include "install/PathClaim.h"
#include "system/ProcessHelper.h"
#include "update/UninstallPrepareHelper.h"
#include "update/UpdateStatus.h"
#include "update/UpdateTask.h"

#include <QDebug>
#include <QDir>

#include <algorithm>

using TaskCodes::kFinish;
using TaskCodes::kInvalidParam;
using TaskCodes::kTaskExist;
using TaskCodes::kTaskNotExist;
using UpdateTool::StatusBody;

const std::vector<AbilityAutoInstallTool::Row> AbilityAutoInstallTool::kCommands = {
    {"pre_uninst", &AbilityAutoInstallTool::DealPreUninst, ReplyKind::Single, {kFinish}},
    {"update", &AbilityAutoInstallTool::DealUpdate, ReplyKind::Progress, {kFinish}, "stop_update"},
    Row::Stop("stop_update", "update"),
};

namespace {

// A path from a client must say exactly where it is.
bool IsUsablePath(const QString& _qstrPath)
{
    return _qstrPath.isEmpty() || (QDir::isAbsolutePath(_qstrPath) && !_qstrPath.contains(QChar(0)));
}

TaskTable::Style AnswerStyle()
{
    TaskTable::Style style;
    style.progressBody = [](double _dPercent, const QString& _qstrStatus) {
        return StatusBody(_qstrStatus, _dPercent);
    };
    style.filtered = true;
    style.notExistData = StatusBody(QStringLiteral("task_not_exist"));
    return style;
}

} // namespace

AbilityAutoInstallTool::AbilityAutoInstallTool() : AbilityTable(kCommands, AnswerStyle())
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
}

// The task table stops what still runs; a toolbox destroyed there puts back an installation
// whose replace had begun.
AbilityAutoInstallTool::~AbilityAutoInstallTool() = default;

bool AbilityAutoInstallTool::DealCommand(const JsonCommand& _jsonCommand)
{
    if (_jsonCommand.type == Envelope::kTransfer && _jsonCommand.command == QLatin1String("pre_uninst")) {
        Deliver(_jsonCommand, DealHandshakeAnswer(_jsonCommand));
        return true;
    }
    // An update still asking its application has nothing to stop yet: the application's answer
    // decides whether it goes on.
    if (_jsonCommand.type == Envelope::kCommand && _jsonCommand.command == QLatin1String("stop_update")) {
        const auto* update = qobject_cast<const UpdateTask*>(Tasks().Find(_jsonCommand.guid));
        if (update && update->IsAsking()) {
            Deliver(_jsonCommand, Handled::Refused(kTaskNotExist, TaskCodes::Text(kTaskNotExist),
                                                   StatusBody(QStringLiteral("task_not_exist"))));
            return true;
        }
    }
    return AbilityTable::DealCommand(_jsonCommand);
}

Result<CommandAutoInstallToolBody> AbilityAutoInstallTool::ReadBody(const JsonCommand& _jsonCommand,
                                                                    bool _blUpdate)
{
    CommandAutoInstallToolBody body;
    const bool parsed = body.LoadFromString(_jsonCommand.data);
    bool usable = parsed && CommandAutoInstallToolBody::IsPlainAppId(body.appid) &&
                  ProcessHelper::IsPlainProcessName(body.processName);
    if (_blUpdate)
        usable = usable && !body.url.isEmpty() && IsUsablePath(body.downloadPath) &&
                 IsUsablePath(body.unzipPath) && IsUsablePath(body.installPath) &&
                 IsUsablePath(body.backupPath);
    if (!usable)
        return Result<CommandAutoInstallToolBody>::Failure(QStringLiteral("invalid_param"));
    return body;
}

Handled AbilityAutoInstallTool::Refused(qint64 _nCode, const QString& _qstrStatus)
{
    return Handled::Refused(_nCode, TaskCodes::Text(_nCode), StatusBody(_qstrStatus));
}

Handled AbilityAutoInstallTool::DealPreUninst(const JsonCommand& _jsonCommand)
{
    if (Tasks().Contains(_jsonCommand.guid))
        return Refused(kTaskExist, QStringLiteral("task_already_exist"));
    const Result<CommandAutoInstallToolBody> body = ReadBody(_jsonCommand, false);
    if (!body)
        return Refused(kInvalidParam, body.Error());
    return Handled::Started(
        std::make_unique<UninstallPrepareHelper>(body->appid, body->processName, _jsonCommand.guid));
}

Handled AbilityAutoInstallTool::DealUpdate(const JsonCommand& _jsonCommand)
{
    if (Tasks().Contains(_jsonCommand.guid))
        return Refused(kTaskExist, QStringLiteral("task_already_exist"));
    const Result<CommandAutoInstallToolBody> body = ReadBody(_jsonCommand, true);
    if (!body)
        return Refused(kInvalidParam, body.Error());
    // Two updates of one application would share its work folders and its installation.
    if (IsBeingUpdated(body->appid)) {
        qCWarning(lcUpdate).noquote() << "AbilityAutoInstallTool::DealUpdate:already updating:" + body->appid;
        return Refused(kTaskExist, QStringLiteral("task_already_exist"));
    }
    // Nor may two updates of different applications extract into one folder or download into one
    // file: one would install the other's package.
    std::unique_ptr<PathClaim> claim = ClaimPaths(body.Value());
    if (!claim)
        return Refused(kTaskExist, QStringLiteral("task_already_exist"));
    qCDebug(lcUpdate).noquote() << "AbilityAutoInstallTool::DealUpdate:" + body->ToString();
    auto update = std::make_unique<UpdateTask>(body.Value(), _jsonCommand.guid, std::move(claim));
    m_vecUpdates.emplace_back(update.get());
    return Handled::Started(std::move(update));
}

std::unique_ptr<PathClaim> AbilityAutoInstallTool::ClaimPaths(const CommandAutoInstallToolBody& _body)
{
    // The default paths lie in the app id's own work folder, which one update at a time uses.
    QStringList paths;
    for (const QString& path : {_body.unzipPath, _body.downloadPath})
        if (!path.isEmpty())
            paths.append(PathClaim::Normal(path));
    Result<std::unique_ptr<PathClaim>> claim = PathClaim::Claim(paths);
    if (!claim) {
        qCWarning(lcUpdate).noquote()
            << "AbilityAutoInstallTool::DealUpdate:path used by a running update:" + claim.Error();
        return nullptr;
    }
    return std::move(claim.Value());
}

bool AbilityAutoInstallTool::IsBeingUpdated(const QString& _qstrAppId)
{
    m_vecUpdates.erase(std::remove_if(m_vecUpdates.begin(), m_vecUpdates.end(),
                                      [](const QPointer<UpdateTask>& _pTask) { return _pTask.isNull(); }),
                       m_vecUpdates.end());
    return std::any_of(m_vecUpdates.begin(), m_vecUpdates.end(),
                       [&](const QPointer<UpdateTask>& _pTask) { return _pTask->AppId() == _qstrAppId; });
}

Handled AbilityAutoInstallTool::DealHandshakeAnswer(const JsonCommand& _jsonCommand)
{
    Task* task = Tasks().Find(_jsonCommand.guid);
    if (auto* update = qobject_cast<UpdateTask*>(task)) {
        if (update->IsAsking()) {
            update->OnRecvMessage(_jsonCommand);
            return Handled::Quiet();
        }
    } else if (auto* helper = qobject_cast<UninstallPrepareHelper*>(task)) {
        helper->OnRecvMessage(_jsonCommand);
        return Handled::Quiet();
    }
    return Refused(kTaskNotExist, QStringLiteral("task_not_exist"));
}
