#include "core/Config.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHostAddress>
#include <QSet>
#include <QSettings>
#include <QUrl>

#include <functional>

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

// A value with commas arrives as a list; it is taken as written.
QString Text(const QVariant& _value)
{
    if (_value.type() == QVariant::StringList)
        return _value.toStringList().join(QLatin1Char(','));
    return _value.toString();
}

// A file or folder name that stays where it is put: no separators, no way up, nothing hidden
// from a listing by control characters.
bool IsPlainName(const QString& _qstrName)
{
    if (_qstrName.isEmpty() || _qstrName == QLatin1String(".") || _qstrName == QLatin1String("..") ||
        _qstrName.size() > 255)
        return false;
    for (const QChar c : _qstrName)
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            return false;
    return true;
}

// Reads one group's keys; a value that is not of the key's type or range is replaced by the
// default and noted once, naming key, value and default.
class GroupReader
{
public:
    GroupReader(QSettings& _settings, const QString& _qstrGroup, QStringList& _listProblems,
                QSet<QString>& _setKnown)
        : m_settings(_settings), m_qstrGroup(_qstrGroup), m_listProblems(_listProblems), m_setKnown(_setKnown)
    {
        m_settings.beginGroup(_qstrGroup);
    }
    ~GroupReader() { m_settings.endGroup(); }
    GroupReader(const GroupReader&) = delete;
    GroupReader& operator=(const GroupReader&) = delete;

    qint64 Integer(const char* _szKey, qint64 _nDefault, qint64 _nMin, qint64 _nMax)
    {
        qint64 result = _nDefault;
        Read(_szKey, QString::number(_nDefault),
             QStringLiteral("is not a whole number from %1 to %2").arg(_nMin).arg(_nMax),
             [&](const QString& _qstrValue) {
                 bool ok = false;
                 const qint64 n = _qstrValue.trimmed().toLongLong(&ok);
                 if (!ok || n < _nMin || n > _nMax)
                     return false;
                 result = n;
                 return true;
             });
        return result;
    }

    QString Port(const char* _szKey, const QString& _qstrDefault)
    {
        return QString::number(Integer(_szKey, _qstrDefault.toLongLong(), 1, 65535));
    }

    // Text accepted by _check, which may also normalise it; the default otherwise.
    QString Checked(const char* _szKey, const QString& _qstrDefault, const QString& _qstrRule,
                    const std::function<bool(QString&)>& _check)
    {
        QString result = _qstrDefault;
        Read(_szKey, _qstrDefault.isEmpty() ? QStringLiteral("(empty)") : _qstrDefault, _qstrRule,
             [&](const QString& _qstrValue) {
                 QString value = _qstrValue;
                 if (!_check(value))
                     return false;
                 result = value;
                 return true;
             });
        return result;
    }

    QString Any(const char* _szKey, const QString& _qstrDefault)
    {
        const QVariant v = Value(_szKey);
        return v.isValid() ? Text(v) : _qstrDefault;
    }

private:
    QVariant Value(const char* _szKey)
    {
        m_setKnown.insert(m_qstrGroup + QLatin1Char('/') + QLatin1String(_szKey));
        return m_settings.value(QLatin1String(_szKey));
    }

    void Read(const char* _szKey, const QString& _qstrDefault, const QString& _qstrRule,
              const std::function<bool(const QString&)>& _accept)
    {
        const QVariant v = Value(_szKey);
        if (!v.isValid())
            return;
        const QString value = Text(v);
        if (_accept(value))
            return;
        m_listProblems.append(QStringLiteral("%1: [%2] %3=\"%4\" %5; using the default %6")
                                  .arg(m_settings.fileName(), m_qstrGroup, QLatin1String(_szKey), value,
                                       _qstrRule, _qstrDefault));
    }

    QSettings& m_settings;
    QString m_qstrGroup;
    QStringList& m_listProblems;
    QSet<QString>& m_setKnown;
};

int LevelFromText(const QString& _qstrValue)
{
    static const char* const kNames[] = {"debug", "warning", "critical", "fatal"};
    const QString value = _qstrValue.trimmed().toLower();
    bool ok = false;
    const int n = value.toInt(&ok);
    if (ok)
        return n >= 0 && n <= 3 ? n : -1;
    for (int i = 0; i < 4; ++i)
        if (value == QLatin1String(kNames[i]))
            return i;
    return -1;
}

} // namespace

void Config::Load(const QString& _qstrPath)
{
    // Every load starts from the defaults, so a key missing now never keeps an earlier value.
    *this = Config();
    m_qstrConfigPath = _qstrPath;
    if (_qstrPath.isEmpty())
        return;
    QSettings settings(_qstrPath, QSettings::IniFormat);
    if (QFileInfo(_qstrPath).exists() && settings.status() != QSettings::NoError) {
        m_listProblems.append(QStringLiteral("%1 cannot be read; every key has its default").arg(_qstrPath));
        return;
    }
    const Config defaults;
    QSet<QString> known;

    {
        GroupReader log(settings, QStringLiteral("log"), m_listProblems, known);
        m_nLogLevel = LevelFromText(
            log.Checked("level", QString::number(defaults.m_nLogLevel),
                        QStringLiteral("is not a level (0 debug, 1 warning, 2 critical, 3 fatal)"),
                        [](QString& _value) { return LevelFromText(_value) >= 0; }));
        m_nMaxLogFileMegabytes =
            log.Integer("maxFileMegabytes", defaults.m_nMaxLogFileMegabytes, 1, 1024 * 1024);
        m_nMaxLogTotalMegabytes =
            log.Integer("maxTotalMegabytes", defaults.m_nMaxLogTotalMegabytes, 1, 1024 * 1024);
        m_blJournalAll =
            log.Checked("journal", QStringLiteral("important"),
                        QStringLiteral("is neither \"important\" nor \"all\""), [](QString& _value) {
                            _value = _value.trimmed().toLower();
                            return _value == QLatin1String("important") || _value == QLatin1String("all");
                        }) == QLatin1String("all");
    }
    {
        GroupReader name(settings, QStringLiteral("name"), m_listProblems, known);
        m_qstrFolder =
            name.Checked("folder", defaults.m_qstrFolder, QStringLiteral("is not one plain folder name"),
                         [](QString& _value) { return IsPlainName(_value); });
        m_qstrAppId = name.Any("appId", defaults.m_qstrAppId);
    }
    {
        GroupReader service(settings, QStringLiteral("message_service"), m_listProblems, known);
        m_qstrPort = service.Port("port", defaults.m_qstrPort);
        m_qstrWsPort = service.Port("wsport", defaults.m_qstrWsPort);
        m_qstrBind = service.Checked(
            "bind", defaults.m_qstrBind,
            QStringLiteral("is not an address (an IPv4 or IPv6 address, localhost or * for every interface)"),
            [](QString& _value) {
                _value = _value.trimmed();
                return _value == QLatin1String("*") || _value == QLatin1String("localhost") ||
                       !QHostAddress(_value).isNull();
            });
        m_listAllowedOrigins.clear();
        const QString origins = service.Checked(
            "allowedOrigins", QString(),
            QStringLiteral("is not a comma-separated list of origins (scheme://host[:port] or null)"),
            [](QString& _value) {
                for (const QString& part : _value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
                    const QString origin = part.trimmed();
                    if (origin.isEmpty() || origin == QLatin1String("null"))
                        continue;
                    const QUrl url(origin, QUrl::StrictMode);
                    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty() ||
                        !(url.path().isEmpty() || url.path() == QLatin1String("/")) || url.hasQuery())
                        return false;
                }
                return true;
            });
        for (const QString& origin : origins.split(QLatin1Char(','), Qt::SkipEmptyParts))
            if (!origin.trimmed().isEmpty())
                m_listAllowedOrigins.append(origin.trimmed());
        m_nMaxMessageBytes =
            service.Integer("maxMessageBytes", defaults.m_nMaxMessageBytes, 1, kMaxMessageBytesLimit);
        m_nLoginTimeoutSeconds = static_cast<int>(
            service.Integer("loginTimeoutSeconds", defaults.m_nLoginTimeoutSeconds, 1, 3600));
    }
    {
        GroupReader debug(settings, QStringLiteral("debug"), m_listProblems, known);
        m_nDebugMode = static_cast<int>(debug.Integer("debugmode", defaults.m_nDebugMode, 0, 1));
    }
    {
        GroupReader uninst(settings, QStringLiteral("uninst"), m_listProblems, known);
        m_nPreUninstTimeout =
            static_cast<int>(uninst.Integer("preUninstTimeout", defaults.m_nPreUninstTimeout, 1, 3600000));
        m_qstrPreUninstAction = uninst.Checked("preUninstAction", defaults.m_qstrPreUninstAction,
                                               QStringLiteral("is not one plain file name"),
                                               [](QString& _value) { return IsPlainName(_value); });
        m_nPercentFilter =
            static_cast<int>(uninst.Integer("percentFilter", defaults.m_nPercentFilter, 0, 100));
    }
    {
        GroupReader network(settings, QStringLiteral("network"), m_listProblems, known);
        // Empty is allowed: every network test then fails, which the network ability logs at start.
        m_qstrPublicNetworkUrl = network.Checked(
            "publicNetworkUrl", defaults.m_qstrPublicNetworkUrl,
            QStringLiteral("is not an http or https address"), [](QString& _value) {
                _value = _value.trimmed();
                if (_value.isEmpty())
                    return true;
                const QUrl url(_value, QUrl::StrictMode);
                return url.isValid() && !url.host().isEmpty() &&
                       (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
            });
        m_nDownloadStallSeconds = static_cast<int>(
            network.Integer("downloadStallSeconds", defaults.m_nDownloadStallSeconds, 1, 86400));
        m_nProbeTimeoutSeconds = static_cast<int>(
            network.Integer("probeTimeoutSeconds", defaults.m_nProbeTimeoutSeconds, 1, 3600));
    }
    {
        GroupReader snap(settings, QStringLiteral("snap"), m_listProblems, known);
        m_nSnapKeepMegabytes =
            snap.Integer("snapKeepMegabytes", defaults.m_nSnapKeepMegabytes, 1, 1024 * 1024);
    }
    {
        // Kept as written even when malformed: falling back to "no key" would turn signature
        // checks off; the update ability refuses every package with a malformed key instead.
        GroupReader update(settings, QStringLiteral("update"), m_listProblems, known);
        m_qstrUpdatePublicKey = update.Any("publicKey", defaults.m_qstrUpdatePublicKey).trimmed();
    }
    // A misspelt key would otherwise be a setting the user believes in and the service ignores.
    for (const QString& key : settings.allKeys())
        if (!known.contains(key))
            m_listProblems.append(
                QStringLiteral("%1: %2 is no key the service knows; ignored").arg(settings.fileName(), key));
}
