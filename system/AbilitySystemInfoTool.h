#pragma once

#include "core/IAbility.h"
#include "core/JsonCommand.h"
#include "system/CommandSystemInfoToolBody.h"

#include <QObject>

#include <memory>
#include <mutex>

// Answers the read-only machine queries. Each query is measured on a thread of its own, one at a
// time, and its answer reaches the hub from the main thread.
class AbilitySystemInfoTool : public QObject, public IAbility
{
    Q_OBJECT
public:
    AbilitySystemInfoTool();
    ~AbilitySystemInfoTool() override;

    std::vector<QString> GetAbilities() override;
    bool DealCommand(const JsonCommand& _jsonCommand) override;

    // The answer body of each query; blocking, for the worker threads.
    static CommandSystemInfoToolBody QueryHardware(const JsonCommand& _request);
    static CommandSystemInfoToolBody QueryDiskSpace(const JsonCommand& _request);
    static CommandSystemInfoToolBody QueryCpu(const JsonCommand& _request);
    static CommandSystemInfoToolBody QueryMemory(const JsonCommand& _request);
    static CommandSystemInfoToolBody QueryTopProcess(const JsonCommand& _request);

signals:
    void signQuerySystemInfoResult(QString qstrJsonCommand);

public slots:
    void slotQuerySystemInfoResult(QString qstrJsonCommand);

private:
    using Query = CommandSystemInfoToolBody (*)(const JsonCommand&);
    // Shared with the detached workers, so that a query still running when the ability is
    // released neither locks a destroyed mutex nor signals through a destroyed object.
    struct Shared
    {
        std::mutex mutexQuery; // held by a worker for its whole measurement
        std::mutex mutexOwner; // guards pOwner
        AbilitySystemInfoTool* pOwner = nullptr;
    };
    static void RunQuery(std::shared_ptr<Shared> _pShared, JsonCommand _request, Query _query);

    std::shared_ptr<Shared> m_pShared;
};
