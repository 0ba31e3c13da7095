#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"
#include "core/GuidTaskTable.h"
#include "install/CommandInstallToolBody.h"

#include <QObject>
#include <QString>

#include <map>
#include <memory>
#include <mutex>

class Downloader;
class ZlibHelper;
class ReplaceHelper;

// Runs downloads, zip extractions and folder replaces as independent tasks named by the guid of
// the request that started them. Answers at once only to refuse; afterwards the requester gets
// progress (0), "finish" (100) or the worker's error text (101) until the task ends.
class AbilityInstallTool : public QObject, public AbilityTable<AbilityInstallTool>
{
    Q_OBJECT
public:
    AbilityInstallTool();
    ~AbilityInstallTool() override;

    // Tasks in the three tables together.
    int TaskCount();

public slots:
    void slotProgress(qint64 bytesReceived, qint64 bytesTotal, const QString& strId);
    void slotFinished(const QString& strId);
    void slotErrorOccurred(const QString& _qstrErrorInfo, const QString& strId);

private:
    void DealDownload(const JsonCommand& _jsonCommand);
    void DealStopDownload(const JsonCommand& _jsonCommand);
    void DealUnzip(const JsonCommand& _jsonCommand);
    void DealStopUnzip(const JsonCommand& _jsonCommand);
    void DealReplace(const JsonCommand& _jsonCommand);
    void DealStopReplace(const JsonCommand& _jsonCommand);

    // Parses the body of a start and answers 102 or 103 when it cannot start; true to go on.
    // _blLocalFrom: "from" names a local path (unzip, replace) rather than a URL.
    bool AcceptStart(const JsonCommand& _jsonCommand, bool _blLocalFrom, CommandInstallToolBody& _body);
    bool IdInUse(const QString& _qstrId) const;
    // Ends the task with its final answer, in whichever table it is; false when there is none.
    bool FinishTask(const QString& _qstrId, qint64 _nCode, const QString& _qstrError);
    // Drops a stopped replace once its worker (the sender) reported its end; false for others.
    bool DropStopped(const QString& _qstrId);

    static const std::vector<Row> kCommands;

    std::recursive_mutex m_mutex; // guards the three tables
    GuidTaskTable<Downloader> m_mapDowloader;
    GuidTaskTable<ZlibHelper> m_mapUnzip;
    GuidTaskTable<ReplaceHelper> m_mapReplace;
    // Stopped replaces whose workers are still restoring; no longer tasks a client can address.
    std::map<const QObject*, std::shared_ptr<ReplaceHelper>> m_mapReplaceStopping;
};
