#pragma once

#include "core/AbilityTable.h"
#include "core/JsonCommand.h"

#include <QMap>
#include <QObject>
#include <QTimer>

#include <mutex>

// Starts programs, tells whether a process runs, stops process trees and keeps programs alive.
// The data of every command is plain text: a path or an executable file name.
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

    // Copy of the keep table: executable file name -> path.
    QMap<QString, QString> KeptPrograms();
    bool IsWatching();

public slots:
    // Restarts every kept program of which no process runs.
    void OnTimer();

private:
    void DealStartProc(const JsonCommand& _jsonCommand);
    void DealQueryProc(const JsonCommand& _jsonCommand);
    void DealKeepProc(const JsonCommand& _jsonCommand);
    void DealStopProc(const JsonCommand& _jsonCommand);

    static const std::vector<Row> kCommands;

    std::recursive_mutex m_mutex; // guards m_mapKeepProc and m_timer
    QTimer m_timer;
    QMap<QString, QString> m_mapKeepProc;
};
