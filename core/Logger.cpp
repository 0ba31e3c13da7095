#include "core/Logger.h"

#include "core/CrashHandler.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {
constexpr QIODevice::OpenMode kOpenMode = QIODevice::ReadWrite | QIODevice::Append;

thread_local int t_nBatchDepth = 0;
// Lines held by batches. A fixed array, never moved, so the crash handler can still write it.
constexpr size_t kPendingBytes = 64 * 1024;
char g_pending[kPendingBytes];
std::atomic<size_t> g_nPending{0};
std::atomic<int> g_fdPending{-1};
} // namespace

Logger& Logger::Instance()
{
    static Logger s_logger;
    return s_logger;
}

Logger::~Logger()
{
    qInstallMessageHandler(nullptr);
}

QString Logger::DataRoot(const QString& _qstrFolder)
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QLatin1Char('/') +
           _qstrFolder;
}

bool Logger::Init(int _nLevel, const QString& _qstrFolder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    WritePendingLocked();
    m_nLevel = _nLevel;
    m_qstrFolder = _qstrFolder;
    m_qstrStamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss"));
    const QString folder = LogFolder(_qstrFolder);
    m_logFolder = PrivateFolder::Open(DataRoot(_qstrFolder), {QStringLiteral("log")});
    if (!m_logFolder.IsValid()) {
        std::fprintf(stderr, "Logger::Init:the log folder is refused, nothing is logged:%s\n",
                     qPrintable(m_logFolder.Error()));
        return false;
    }
    const bool ok = m_logFolder.OpenFile(m_fileMain, m_qstrStamp + QStringLiteral(".log"), kOpenMode) &&
                    m_logFolder.OpenFile(m_fileJs, m_qstrStamp + QStringLiteral("_js.log"), kOpenMode);
    m_nMainBytes = m_fileMain.size();
    g_fdPending = m_fileMain.handle();
    FollowWithCrashLine();
    RemoveOldLogs(folder, QDateTime::currentDateTime());
    RemoveOldestBeyond(folder, m_nMaxTotalBytes - m_nMaxFileBytes, m_fileMain.fileName());
    return ok;
}

void Logger::SetLimits(qint64 _nMaxFileBytes, qint64 _nMaxTotalBytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nMaxTotalBytes = _nMaxTotalBytes;
    m_nMaxFileBytes = qMin(_nMaxFileBytes, _nMaxTotalBytes);
    if (m_fileMain.isOpen())
        RemoveOldestBeyond(LogFolder(m_qstrFolder), m_nMaxTotalBytes - m_nMaxFileBytes,
                           m_fileMain.fileName());
}

void Logger::ContinueInNextFile()
{
    const QString folder = LogFolder(m_qstrFolder);
    WritePendingLocked();
    m_fileMain.close();
    // A part left by an earlier run in the same second is skipped, not appended to.
    QString name;
    do
        name = m_qstrStamp + QLatin1Char('-') + QString::number(m_nNextPart++) + QStringLiteral(".log");
    while (QFileInfo::exists(folder + name));
    m_logFolder.OpenFile(m_fileMain, name, kOpenMode);
    g_fdPending = m_fileMain.handle();
    m_nMainBytes = 0;
    FollowWithCrashLine();
    // Room is kept for the file just begun, so the folder stays within its bound as it grows.
    RemoveOldestBeyond(folder, m_nMaxTotalBytes - m_nMaxFileBytes, m_fileMain.fileName());
}

void Logger::FollowWithCrashLine()
{
    if (m_fileMain.isOpen())
        CrashHandler::SetLogFile(m_fileMain.handle());
    CrashHandler::SetUtcOffset(QDateTime::currentDateTime().offsetFromUtc());
}

void Logger::SetEcho(StandardError::Kind _kind)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_echo = _kind;
    CrashHandler::SetEcho(_kind);
}

static void HandleMessage(QtMsgType _type, const QMessageLogContext&, const QString& _qstrText)
{
    Logger::Instance().Write(_type, _qstrText);
}

void Logger::InstallHandler()
{
    qInstallMessageHandler(HandleMessage);
}

void Logger::Write(QtMsgType _type, const QString& _qstrText)
{
    // Qt orders its types debug 0, warning 1, critical 2, fatal 3, info 4; info is never written.
    if (!IsWritten(_type))
        return;
    // Local time costs a time-zone check per call; the stamp only changes once a second.
    const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool toFile = m_fileMain.isOpen() && m_fileJs.isOpen();
    if (!toFile && m_echo == StandardError::Kind::Other)
        return;
    if (second != m_nStampSecond) {
        m_nStampSecond = second;
        const QDateTime now = QDateTime::currentDateTime();
        m_baStamp = now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toUtf8();
        // A change of daylight saving time reaches the crash line too.
        CrashHandler::SetUtcOffset(now.offsetFromUtc());
    }
    const QByteArray text = _qstrText.toUtf8();
    // Standard error waits with the file's lines, so a batch costs one write there too.
    if (m_echo != StandardError::Kind::Other) {
        if (m_baEchoPending.size() + text.size() > static_cast<int>(kPendingBytes))
            WriteEchoLocked();
        m_baEchoPending += EchoLine(_type, m_baStamp, text, m_echo);
    }
    if (!toFile) {
        if (t_nBatchDepth == 0)
            WriteEchoLocked();
        return;
    }
    QByteArray line;
    line.reserve(text.size() + 32);
    line.append(Tag(_type)).append(m_baStamp).append('\t').append(text).append("\r\n");
    if (m_nMainBytes > 0 && m_nMainBytes + line.size() > m_nMaxFileBytes)
        ContinueInNextFile();
    const size_t pending = g_nPending.load();
    if (pending + static_cast<size_t>(line.size()) <= kPendingBytes) {
        std::memcpy(g_pending + pending, line.constData(), static_cast<size_t>(line.size()));
        g_nPending = pending + static_cast<size_t>(line.size());
        m_nMainBytes += line.size();
        if (t_nBatchDepth == 0)
            WritePendingLocked();
        return;
    }
    WritePendingLocked();
    if (m_fileMain.write(line) > 0)
        m_nMainBytes += line.size();
    m_fileMain.flush();
}

QByteArray Logger::EchoLine(QtMsgType _type, const QByteArray& _baStamp, const QByteArray& _baText,
                            StandardError::Kind _kind)
{
    QByteArray line;
    line.reserve(_baText.size() + 32);
    if (_kind == StandardError::Kind::Journal) {
        // The journal reads "<priority>" at the start of a line: debug, warning, critical, alert.
        static const char* const kPriority[] = {"<7>", "<4>", "<2>", "<1>"};
        const int type = static_cast<int>(_type);
        return line.append(type >= 0 && type < 4 ? kPriority[type] : "<6>")
            .append(Tag(_type))
            .append(_baText)
            .append('\n');
    }
    return line.append(Tag(_type)).append(_baStamp).append('\t').append(_baText).append('\n');
}

void Logger::WriteEchoLocked()
{
    if (m_baEchoPending.isEmpty())
        return;
    std::fwrite(m_baEchoPending.constData(), 1, static_cast<size_t>(m_baEchoPending.size()), stderr);
    std::fflush(stderr);
    m_baEchoPending.clear();
}

void Logger::WritePendingLocked()
{
    WriteEchoLocked();
    const size_t pending = g_nPending.load();
    if (pending == 0)
        return;
    if (m_fileMain.isOpen()) {
        m_fileMain.write(g_pending, static_cast<qint64>(pending));
        m_fileMain.flush();
    }
    g_nPending = 0;
}

Logger::Batch::Batch()
{
    ++t_nBatchDepth;
}

Logger::Batch::~Batch()
{
    if (--t_nBatchDepth > 0)
        return;
    Logger& logger = Instance();
    std::lock_guard<std::mutex> lock(logger.m_mutex);
    logger.WritePendingLocked();
}

void Logger::WritePendingFromSignal()
{
    const int fd = g_fdPending.load();
    const size_t pending = g_nPending.load();
    if (fd >= 0 && pending > 0 && pending <= kPendingBytes)
        (void)!write(fd, g_pending, pending);
}

const char* Logger::Tag(QtMsgType _type)
{
    switch (_type) {
    case QtDebugMsg:
        return "[D]:";
    case QtWarningMsg:
        return "[W]:";
    case QtCriticalMsg:
        return "[C]:";
    case QtFatalMsg:
        return "[F]:";
    default:
        return "";
    }
}

QString Logger::FormatLogLine(QtMsgType _type, const QDateTime& _time, const QString& _qstrText)
{
    return QLatin1String(Tag(_type)) + _time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) +
           QLatin1Char('\t') + _qstrText;
}

int Logger::RemoveOldLogs(const QString& _qstrFolder, const QDateTime& _now)
{
    int removed = 0;
    const QFileInfoList files = QDir(_qstrFolder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo& info : files) {
        if (!info.fileName().endsWith(QLatin1String(".log")) || info.isSymLink())
            continue;
        const QDateTime written = info.lastModified();
        if (!written.isValid() || written.secsTo(_now) <= kMaxLogAgeSeconds)
            continue;
        if (QFile::remove(info.absoluteFilePath()))
            ++removed;
    }
    return removed;
}

int Logger::RemoveOldestBeyond(const QString& _qstrFolder, qint64 _nMaxTotalBytes, const QString& _qstrKeep)
{
    // Filtered by suffix here: a name filter would compile a regular expression at every start.
    QFileInfoList files = QDir(_qstrFolder).entryInfoList(QDir::Files);
    files.erase(std::remove_if(files.begin(), files.end(),
                               [](const QFileInfo& _info) {
                                   return !_info.fileName().endsWith(QLatin1String(".log"),
                                                                     Qt::CaseInsensitive);
                               }),
                files.end());
    // Oldest first; parts written within the same moment go by their number ("-2" before "-10").
    std::sort(files.begin(), files.end(), [](const QFileInfo& _a, const QFileInfo& _b) {
        const QDateTime a = _a.lastModified();
        const QDateTime b = _b.lastModified();
        if (a != b)
            return a < b;
        const QString nameA = _a.fileName();
        const QString nameB = _b.fileName();
        return nameA.size() != nameB.size() ? nameA.size() < nameB.size() : nameA < nameB;
    });
    qint64 total = 0;
    for (const QFileInfo& info : files)
        total += info.size();
    int removed = 0;
    for (const QFileInfo& info : files) {
        if (total <= _nMaxTotalBytes)
            break;
        if (info.isSymLink() || info.absoluteFilePath() == QFileInfo(_qstrKeep).absoluteFilePath())
            continue;
        if (QFile::remove(info.absoluteFilePath())) {
            total -= info.size();
            ++removed;
        }
    }
    return removed;
}

QByteArray Logger::ClipForLog(const QByteArray& _baText)
{
    if (_baText.size() <= kLogClipBytes)
        return _baText;
    return _baText.left(kLogClipBytes) + "...(" + QByteArray::number(_baText.size()) + " bytes)";
}

QString Logger::Quoted(const QByteArray& _baText)
{
    // Worst case every byte gains a backslash; written straight into the buffer.
    QString out(_baText.size() * 2 + 2, Qt::Uninitialized);
    QChar* p = out.data();
    *p++ = QLatin1Char('"');
    for (const char c : _baText) {
        if (c < 0x20 || c > 0x7e) {
            // Anything but printable ASCII takes Qt's own escaping, so the text stays identical.
            QString escaped;
            QDebug(&escaped).nospace() << _baText;
            return escaped;
        }
        if (c == '"' || c == '\\')
            *p++ = QLatin1Char('\\');
        *p++ = QLatin1Char(c);
    }
    *p++ = QLatin1Char('"');
    out.truncate(static_cast<int>(p - out.constData()));
    return out;
}
