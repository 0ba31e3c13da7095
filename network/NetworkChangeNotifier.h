#pragma once

#include <QObject>

#include <memory>

// Tells when the platform reports a change of the machine's network links, addresses or routes.
// A single change often arrives as a burst of signals; callers let the burst settle.
class NetworkChangeNotifier : public QObject
{
    Q_OBJECT
public:
    explicit NetworkChangeNotifier(QObject* _pParent = nullptr);
    ~NetworkChangeNotifier() override;

    // False (and logged) when the platform's events cannot be followed.
    bool Start();

signals:
    void SignChanged();

private:
    struct Source;
    std::unique_ptr<Source> m_pSource;
};
