#pragma once

#include <QObject>
#include <QString>

// Feeds the developer window with a trace of the hub's traffic in debug mode.
class BusinessProcessor : public QObject
{
    Q_OBJECT
public:
    static BusinessProcessor& Instance();

signals:
    void SignSendMsg(QString msg);
    void SignRecvMsg(QString msg);

private:
    BusinessProcessor() = default;
};
