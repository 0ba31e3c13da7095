#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"
#include "system/ProcessLane.h"

#include <QMap>
#include <QObject>
#include <QTimer>

#include <vector>

// Starts programs, tells whether a process runs, stops process trees and keeps programs alive.
// The data of every command is plain text: a path or an executable file name. Process lists and
// kills run on the worker pool, one action at a time in the order asked (ProcessLane); the keep
// table and the timer are main-thread state.
class AbilityProcessTool : public QObject, public AbilityTable<AbilityProcessTool>
{
    Q_OBJECT
public:
    AbilityProcessTool();
    ~AbilityProcessTool() override;

    // Answer codes of "query_proc".
    static constexpr qint64 kProcExist = 100;
    static constexpr qint64 kProcNotExist = 101;
    static constexpr int kKeepIntervalMs = 1000;
    // Process actions running or waiting; a command past it is refused (-4).
    static constexpr std::size_t kMaxActions = 256;

    // Copy of the keep table: executable file name -> path.
    QMap<QString, QString> KeptPrograms() const { return m_mapKeepProc; }
    bool IsWatching() const { return m_timer.isActive(); }
    // Process actions running or waiting, keep-alive scans among them.
    std::size_t ActionsQueued() const { return m_lane.Actions(); }

public slots:
    // Lists the processes on the pool, unless a list asked for earlier has not come back yet;
    // then restarts every kept program of which no process runs.
    void OnTimer();

private:
    Handled DealStartProc(const JsonCommand& _jsonCommand);
    Handled DealQueryProc(const JsonCommand& _jsonCommand);
    Handled DealKeepProc(const JsonCommand& _jsonCommand);
    Handled DealStopProc(const JsonCommand& _jsonCommand);
    // Starts the programs of _listNames found not running that are still kept.
    void StartMissing(const QStringList& _listNames, const std::vector<bool>& _vecRunning);

    static const std::vector<Row> kCommands;

    QTimer m_timer;
    QMap<QString, QString> m_mapKeepProc;
    bool m_blScanning = false;
    // Destroyed before the task table: a query's answer never reaches a task that is gone.
    ProcessLane m_lane{kMaxActions};
};
