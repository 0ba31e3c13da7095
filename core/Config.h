#pragma once

#include <QString>
#include <QStringList>

// Configuration read once at start from the config.ini AppPaths::ConfigFile() finds; never written.
class Config
{
public:
    static Config& Instance();

    // Missing file or keys give the defaults; so does an empty path (no file found). A value
    // outside its key's type or range keeps the default and adds a line to Problems().
    void Load(const QString& _qstrPath);
    // One line per value that could not be used, naming key, value and the default used
    // instead; start-up writes them once the log is open.
    QStringList Problems() const { return m_listProblems; }

    bool IsDebugMode() const { return m_nDebugMode == 1; }
    int GetDebugMode() const { return m_nDebugMode; }
    int GetLogLevel() const { return m_nLogLevel; }
    // Whether standard error under the journal repeats every log line, not only the service's
    // start, stop, configuration, refusals and critical lines.
    bool IsJournalAll() const { return m_blJournalAll; }
    // One log file's size before the run continues in a new one, and the whole log folder's.
    qint64 GetMaxLogFileBytes() const { return m_nMaxLogFileMegabytes * 1024 * 1024; }
    qint64 GetMaxLogTotalBytes() const { return m_nMaxLogTotalMegabytes * 1024 * 1024; }
    QString GetFolder() const { return m_qstrFolder; }
    QString GetAppId() const { return m_qstrAppId; }
    QString GetPort() const { return m_qstrPort; }
    QString GetWsPort() const { return m_qstrWsPort; }
    QString GetBindAddress() const { return m_qstrBind; }
    QStringList GetAllowedOrigins() const { return m_listAllowedOrigins; }
    qint64 GetMaxMessageBytes() const { return m_nMaxMessageBytes; }
    // How long an upgraded WebSocket connection may stay without a login.
    int GetLoginTimeoutSeconds() const { return m_nLoginTimeoutSeconds; }
    int GetPreUninstTimeout() const { return m_nPreUninstTimeout; }
    QString GetPreUninstAction() const { return m_qstrPreUninstAction; }
    int GetPercentFilter() const { return m_nPercentFilter; }
    QString GetPublicNetworkUrl() const { return m_qstrPublicNetworkUrl; }
    int GetDownloadStallSeconds() const { return m_nDownloadStallSeconds; }
    int GetProbeTimeoutSeconds() const { return m_nProbeTimeoutSeconds; }
    // Screenshots kept before the oldest are deleted.
    qint64 GetSnapKeepBytes() const { return m_nSnapKeepMegabytes * 1024 * 1024; }
    // Base64 of the raw 32-byte Ed25519 key that update packages must be signed with; empty: none.
    QString GetUpdatePublicKey() const { return m_qstrUpdatePublicKey; }
    QString GetConfigPath() const { return m_qstrConfigPath; }

    // Default path: the executable's folder joined with "/config.ini".
    static QString DefaultPath();

    static constexpr qint64 kDefaultMaxMessageBytes = 64 * 1024 * 1024;
    // Larger messages could not be held, escaped and written as one buffer.
    static constexpr qint64 kMaxMessageBytesLimit = 1024 * 1024 * 1024;

private:
    Config() = default;

    int m_nDebugMode = 0;
    int m_nLogLevel = 1;
    bool m_blJournalAll = false;
    qint64 m_nMaxLogFileMegabytes = 64;
    qint64 m_nMaxLogTotalMegabytes = 512;
    QString m_qstrFolder = QStringLiteral("folder");
    QString m_qstrAppId;
    QString m_qstrPort = QStringLiteral("5555");
    QString m_qstrWsPort = QStringLiteral("5556");
    // Loopback only unless the user asks otherwise: whoever reaches the socket can start programs.
    QString m_qstrBind = QStringLiteral("127.0.0.1");
    QStringList m_listAllowedOrigins;
    qint64 m_nMaxMessageBytes = kDefaultMaxMessageBytes;
    int m_nLoginTimeoutSeconds = 10;
    int m_nPreUninstTimeout = 10000;
    QString m_qstrPreUninstAction = QStringLiteral("preUninstall.sh");
    int m_nPercentFilter = 1;
    QString m_qstrPublicNetworkUrl = QStringLiteral("https://www.baidu.com");
    int m_nDownloadStallSeconds = 60;
    int m_nProbeTimeoutSeconds = 15;
    qint64 m_nSnapKeepMegabytes = 256;
    QString m_qstrUpdatePublicKey;
    QString m_qstrConfigPath;
    QStringList m_listProblems;
};
