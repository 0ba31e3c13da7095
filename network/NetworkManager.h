#pragma once

#include "network/HttpProbe.h"

#include <QList>
#include <QNetworkInterface>
#include <QObject>
#include <QString>

class NetworkWatcher;
class QNetworkAccessManager;

// The process-wide watcher of the machine's network: follows the platform's network events,
// tests whether the public internet is reachable and announces each outcome with a ready-made
// user message. Lives on the main thread; every test runs asynchronously and is bounded in time.
class NetworkManager : public QObject
{
    Q_OBJECT
public:
    static NetworkManager& Instance();

    // Once, at start: the probe address (group "network", publicNetworkUrl) and the bound of
    // every test and request in seconds. Starts following the platform's events.
    void Init(const QString& _qstrUrl, int _nTimeoutSeconds);

    // The public reachability test: a GET of the probe address through _nam. _done(reachable)
    // runs later on _pContext's thread. An empty or non-http probe address fails at once.
    void CheckPublicNetwork(QNetworkAccessManager& _nam, QObject* _pContext, HttpProbe::Done _done) const;
    // Requests on a client's behalf; _done(true) exactly when the request succeeded.
    void GetInterface(QNetworkAccessManager& _nam, const QString& _qstrUrl,
                      const HttpProbe::Headers& _mapHeaders, QObject* _pContext, HttpProbe::Done _done) const;
    void PostInterface(QNetworkAccessManager& _nam, const QString& _qstrUrl,
                       const HttpProbe::Headers& _mapHeaders, const QMap<QString, QString>& _mapForm,
                       QObject* _pContext, HttpProbe::Done _done) const;

    QString PublicNetworkUrl() const { return m_qstrPublicNetwork; }
    int TimeoutMs() const { return m_nTimeoutMs; }

    static QString NetworkFineText();
    static QString NetworkBrokenText();

signals:
    void SignNetworkStatusChange(bool _blIsOn, QString qstrMsg);
    // Declared for clients of the monitor; never emitted.
    void SignPubicNetworkResult(bool _blIsOn);
    void SignCheckServerResult(bool _blIsOk, QString _qstrRes);

public slots:
    void OnlineStateChanged(bool isOnline);
    void ConfigurationChanged(const QString& _qstrName);
    void ConfigurationAdded(const QString& _qstrName);
    void ConfigurationRemoved(const QString& _qstrName);

private:
    NetworkManager();
    void ListInterfaces();
    // One test at a time: events during a test ask for one more test after it.
    void CheckAndAnnounce();

    QString m_qstrPublicNetwork;
    int m_nTimeoutMs = 15000;
    NetworkWatcher* m_pWatcher = nullptr;
    QList<QNetworkInterface> m_listVirtual;
    QList<QNetworkInterface> m_listEthernet;
    QList<QNetworkInterface> m_listWifi;
    bool m_blInitialised = false;
    bool m_blChecking = false;
    bool m_blCheckAgain = false;
};
