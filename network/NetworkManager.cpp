#include "network/NetworkManager.h"
#include "core/LogCategories.h"

#include "network/NetworkWatcher.h"

#include <QDebug>
#include <QNetworkAccessManager>

NetworkManager& NetworkManager::Instance()
{
    // Never destroyed: it would outlive the application object its network objects need.
    static NetworkManager* s_pManager = new NetworkManager;
    return *s_pManager;
}

NetworkManager::NetworkManager() : m_pWatcher(new NetworkWatcher(this))
{
    connect(m_pWatcher, &NetworkWatcher::SignOnlineStateChanged, this, &NetworkManager::OnlineStateChanged);
    connect(m_pWatcher, &NetworkWatcher::SignConfigurationChanged, this,
            &NetworkManager::ConfigurationChanged);
    connect(m_pWatcher, &NetworkWatcher::SignConfigurationAdded, this, &NetworkManager::ConfigurationAdded);
    connect(m_pWatcher, &NetworkWatcher::SignConfigurationRemoved, this,
            &NetworkManager::ConfigurationRemoved);
}

QString NetworkManager::NetworkFineText()
{
    return QStringLiteral("当前网络正常!");
}

QString NetworkManager::NetworkBrokenText()
{
    return QStringLiteral("当前网络异常, 请检查网络连接!");
}

void NetworkManager::Init(const QString& _qstrUrl, int _nTimeoutSeconds)
{
    m_qstrPublicNetwork = _qstrUrl;
    m_nTimeoutMs = qMax(1, _nTimeoutSeconds) * 1000;
    qCCritical(lcNetwork).noquote() << "m_qstrPublicNetwork == " + _qstrUrl;
    if (!HttpProbe::IsContactable(QUrl(_qstrUrl)))
        qCWarning(lcNetwork).noquote()
            << "NetworkManager::Init:publicNetworkUrl is empty or not an http(s) address, "
               "every public network test fails:"
            << _qstrUrl;
    if (m_blInitialised)
        return;
    m_blInitialised = true;
    ListInterfaces();
    if (!m_pWatcher->Start())
        qCWarning(lcNetwork) << "NetworkManager::Init:network changes are not followed";
}

void NetworkManager::ListInterfaces()
{
    for (const QNetworkInterface& item : QNetworkInterface::allInterfaces()) {
        const QNetworkInterface::InterfaceFlags flags = item.flags();
        if (!item.isValid() || !flags.testFlag(QNetworkInterface::IsUp) ||
            !flags.testFlag(QNetworkInterface::IsRunning))
            continue;
        if (item.type() == QNetworkInterface::Wifi)
            m_listWifi.append(item);
        else if (item.type() == QNetworkInterface::Ethernet)
            m_listEthernet.append(item);
        else if (item.type() == QNetworkInterface::Virtual)
            m_listVirtual.append(item);
    }
    qCDebug(lcNetwork) << "it have " << m_listWifi.size() << "wifi network";
    qCDebug(lcNetwork) << "it have " << m_listEthernet.size() << "ethernet network";
    qCDebug(lcNetwork) << "it have " << m_listVirtual.size() << "virtual network";
}

void NetworkManager::CheckPublicNetwork(QNetworkAccessManager& _nam, QObject* _pContext,
                                        HttpProbe::Done _done) const
{
    HttpProbe::Start(_nam, HttpProbe::Method::Get, QUrl(m_qstrPublicNetwork), {}, QByteArray(), m_nTimeoutMs,
                     _pContext, std::move(_done));
}

void NetworkManager::GetInterface(QNetworkAccessManager& _nam, const QString& _qstrUrl,
                                  const HttpProbe::Headers& _mapHeaders, QObject* _pContext,
                                  HttpProbe::Done _done) const
{
    HttpProbe::Start(_nam, HttpProbe::Method::Get, QUrl(_qstrUrl), _mapHeaders, QByteArray(), m_nTimeoutMs,
                     _pContext, std::move(_done));
}

void NetworkManager::PostInterface(QNetworkAccessManager& _nam, const QString& _qstrUrl,
                                   const HttpProbe::Headers& _mapHeaders,
                                   const QMap<QString, QString>& _mapForm, QObject* _pContext,
                                   HttpProbe::Done _done) const
{
    HttpProbe::Start(_nam, HttpProbe::Method::Post, QUrl(_qstrUrl), _mapHeaders,
                     HttpProbe::FormBody(_mapForm), m_nTimeoutMs, _pContext, std::move(_done));
}

void NetworkManager::OnlineStateChanged(bool isOnline)
{
    qCWarning(lcNetwork).nospace() << "onlineStateChanged online == " << isOnline;
    if (!isOnline)
        emit SignNetworkStatusChange(false, NetworkBrokenText());
}

void NetworkManager::ConfigurationChanged(const QString& _qstrName)
{
    qCWarning(lcNetwork).noquote() << "ConfigurationChanged config.name == " + _qstrName;
    CheckAndAnnounce();
}

void NetworkManager::ConfigurationAdded(const QString& _qstrName)
{
    qCWarning(lcNetwork).noquote() << "ConfigurationAdded config.name == " + _qstrName;
    CheckAndAnnounce();
}

void NetworkManager::ConfigurationRemoved(const QString& _qstrName)
{
    qCWarning(lcNetwork).noquote() << "ConfigurationRemoved config.name == " + _qstrName;
    CheckAndAnnounce();
}

void NetworkManager::CheckAndAnnounce()
{
    if (m_blChecking) {
        m_blCheckAgain = true;
        return;
    }
    m_blChecking = true;
    auto* nam = new QNetworkAccessManager(this);
    CheckPublicNetwork(*nam, this, [this, nam](bool _blOk) {
        nam->deleteLater();
        m_blChecking = false;
        emit SignNetworkStatusChange(_blOk, _blOk ? NetworkFineText() : NetworkBrokenText());
        if (m_blCheckAgain) {
            m_blCheckAgain = false;
            CheckAndAnnounce();
        }
    });
}
