#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// qorvctl's command line: options may come before or after the verb; "--" ends them.
struct CtlOptions
{
    bool useZmq = false;
    int port = 0; // 0: from the service's config.ini
    QString name;
    int timeoutSeconds = -1; // no envelope for this long ends the wait; -1: the verb's default
    int maxTimeSeconds = 0;  // the whole run's bound; 0: none
    bool noWait = false;
    bool single = false;
    std::optional<QList<qint64>> successCodes;
    QString guid;
    QString userdata;
    QStringList to;
    QString command;
    QStringList offer;
    std::optional<qint64> preUninstCode;
    QString preUninstReason;
    bool help = false;
    bool version = false;
    bool json = false;      // JSON lines even on a terminal
    QStringList positional; // the verb and its arguments

    // Nothing, with the reason in _qstrError, when an option is unknown or its value is bad.
    static std::optional<CtlOptions> Parse(const QStringList& _listArgs, QString& _qstrError);
};
