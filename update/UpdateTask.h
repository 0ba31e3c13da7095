#pragma once

#include "core/JsonCommand.h"
#include "core/Task.h"
#include "update/CommandAutoInstallToolBody.h"

#include <QString>

#include <memory>

class PathClaim;
class UninstallPrepareHelper;
namespace UpdateTool {
class ToolBox;
}

// One "update" from the question to the application to the end of the replace: first the
// handshake (UninstallPrepareHelper), then, once the application is ready, the toolbox's stages.
// Progress is the stage's percent, named by its status. It finishes 100 "succeed", 101 with the
// failing stage and its error, or as the handshake refused. A stop during the stages returns at
// once; the toolbox puts the installation back on its worker, and the end follows.
class UpdateTask : public Task
{
    Q_OBJECT
public:
    // _pClaim: the client-given paths the update writes into, held as long as the task lives.
    UpdateTask(const CommandAutoInstallToolBody& _body, const QString& _qstrGuid,
               std::unique_ptr<PathClaim> _pClaim);
    ~UpdateTask() override;

    void start() override;
    void requestStop() override;

    const QString& AppId() const { return m_body.appid; }
    // Still waiting for the application to be ready; its answer goes to the handshake.
    bool IsAsking() const { return m_blAsking; }
    void OnRecvMessage(const JsonCommand& _jsonCommand);

private:
    void OnPrepared(const TaskResult& _result);
    void StartToolBox();
    void End(TaskResult _result);

    CommandAutoInstallToolBody m_body;
    QString m_qstrGuid;
    // Destroyed after the toolbox, whose destructor may still be putting files back.
    std::unique_ptr<PathClaim> m_pClaim;
    std::unique_ptr<UninstallPrepareHelper> m_pHandshake;
    std::unique_ptr<UpdateTool::ToolBox> m_pToolBox;
    bool m_blAsking = true;
    bool m_blEnded = false;
};
