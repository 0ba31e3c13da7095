#pragma once

#include <QObject>
#include <QString>

// Feeds the developer window with a trace of the hub's traffic in debug mode.
class BusinessProcessor : public QObject
{
    Q_OBJECT
public:
    static BusinessProcessor& Instance();

    // A traced line as the window shows it: at most kMaxTraceChars characters of it, and when
    // cut, a marker saying how long it was. A client's megabyte-long command name costs the
    // window no more than a short one.
    static QString TraceLine(const QString& _qstrLine);
    static constexpr int kMaxTraceChars = 512;

signals:
    void SignSendMsg(QString msg);
    void SignRecvMsg(QString msg);

private:
    BusinessProcessor() = default;
};
