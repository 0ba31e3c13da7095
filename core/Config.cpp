#include "core/Config.h"
#include "core/LogCategories.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSettings>

Config& Config::Instance()
{
    static Config s_config;
    return s_config;
}

QString Config::DefaultPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini");
}

namespace {

// Integers convert from whatever the file holds; text that is not a number gives 0.
int ReadInt(const QSettings& _settings, const char* _szKey, int _nDefault)
{
    const QVariant v = _settings.value(QLatin1String(_szKey));
    if (!v.isValid())
        return _nDefault;
    return v.toString().trimmed().toInt();
}

QString ReadString(const QSettings& _settings, const char* _szKey, const QString& _qstrDefault)
{
    const QVariant v = _settings.value(QLatin1String(_szKey));
    if (!v.isValid())
        return _qstrDefault;
    // A value with commas arrives as a list; keep it as written.
    if (v.type() == QVariant::StringList)
        return v.toStringList().join(QLatin1Char(','));
    return v.toString();
}

// For keys of our own that must be positive: bad text falls back to the default, logged.
qint64 ReadPositive(const QSettings& _settings, const char* _szKey, qint64 _nDefault)
{
    const QVariant v = _settings.value(QLatin1String(_szKey));
    if (!v.isValid())
        return _nDefault;
    bool ok = false;
    const qint64 n = v.toString().trimmed().toLongLong(&ok);
    if (!ok || n <= 0) {
        qCWarning(lcCore) << "Config::Load:invalid value for" << _szKey << "using default" << _nDefault;
        return _nDefault;
    }
    return n;
}

} // namespace

void Config::Load(const QString& _qstrPath)
{
    m_qstrConfigPath = _qstrPath;
    QSettings settings(_qstrPath, QSettings::IniFormat);

    settings.beginGroup(QStringLiteral("log"));
    m_nLogLevel = ReadInt(settings, "level", m_nLogLevel);
    m_nMaxLogFileMegabytes = ReadPositive(settings, "maxFileMegabytes", m_nMaxLogFileMegabytes);
    m_nMaxLogTotalMegabytes = ReadPositive(settings, "maxTotalMegabytes", m_nMaxLogTotalMegabytes);
    settings.endGroup();

    settings.beginGroup(QStringLiteral("name"));
    m_qstrFolder = ReadString(settings, "folder", m_qstrFolder);
    m_qstrAppId = ReadString(settings, "appId", m_qstrAppId);
    settings.endGroup();

    settings.beginGroup(QStringLiteral("message_service"));
    m_qstrPort = ReadString(settings, "port", m_qstrPort);
    m_qstrWsPort = ReadString(settings, "wsport", m_qstrWsPort);
    m_qstrBind = ReadString(settings, "bind", m_qstrBind).trimmed();
    if (m_qstrBind.isEmpty())
        m_qstrBind = QStringLiteral("127.0.0.1");
    const QString origins = ReadString(settings, "allowedOrigins", QString());
    m_listAllowedOrigins.clear();
    for (const QString& origin : origins.split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (!origin.trimmed().isEmpty())
            m_listAllowedOrigins.append(origin.trimmed());
    m_nMaxMessageBytes = ReadPositive(settings, "maxMessageBytes", m_nMaxMessageBytes);
    if (m_nMaxMessageBytes > kMaxMessageBytesLimit) {
        qCWarning(lcCore) << "Config::Load:maxMessageBytes" << m_nMaxMessageBytes << "above the limit, using"
                          << kMaxMessageBytesLimit;
        m_nMaxMessageBytes = kMaxMessageBytesLimit;
    }
    m_nLoginTimeoutSeconds = static_cast<int>(
        qMin<qint64>(ReadPositive(settings, "loginTimeoutSeconds", m_nLoginTimeoutSeconds), 3600));
    settings.endGroup();

    settings.beginGroup(QStringLiteral("debug"));
    m_nDebugMode = ReadInt(settings, "debugmode", m_nDebugMode);
    settings.endGroup();

    settings.beginGroup(QStringLiteral("uninst"));
    m_nPreUninstTimeout = ReadInt(settings, "preUninstTimeout", m_nPreUninstTimeout);
    m_qstrPreUninstAction = ReadString(settings, "preUninstAction", m_qstrPreUninstAction);
    m_nPercentFilter = ReadInt(settings, "percentFilter", m_nPercentFilter);
    settings.endGroup();

    settings.beginGroup(QStringLiteral("network"));
    m_qstrPublicNetworkUrl = ReadString(settings, "publicNetworkUrl", m_qstrPublicNetworkUrl);
    m_nDownloadStallSeconds = static_cast<int>(
        qMin<qint64>(ReadPositive(settings, "downloadStallSeconds", m_nDownloadStallSeconds), 86400));
    m_nProbeTimeoutSeconds = static_cast<int>(
        qMin<qint64>(ReadPositive(settings, "probeTimeoutSeconds", m_nProbeTimeoutSeconds), 3600));
    settings.endGroup();

    settings.beginGroup(QStringLiteral("snap"));
    m_nSnapKeepMegabytes =
        qMin<qint64>(ReadPositive(settings, "snapKeepMegabytes", m_nSnapKeepMegabytes), 1024 * 1024);
    settings.endGroup();

    settings.beginGroup(QStringLiteral("update"));
    m_qstrUpdatePublicKey = ReadString(settings, "publicKey", m_qstrUpdatePublicKey).trimmed();
    settings.endGroup();
}
