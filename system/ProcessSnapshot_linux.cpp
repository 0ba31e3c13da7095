// Lists processes from /proc: /proc/<pid>/stat (parent, state, times, resident set),
// /proc/<pid>/exe (the executable) and, for names, /proc/<pid>/cmdline.
#include "system/ProcessSnapshot.h"

#include <QFile>

#include <algorithm>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

namespace {

// Reads a small /proc file relative to the /proc folder; /proc files report their size as 0,
// so read until end of file or until the buffer is full.
ssize_t ReadProcFile(int _nProcFd, const char* _szPath, char* _pBuf, size_t _nSize)
{
    const int fd = openat(_nProcFd, _szPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t total = 0;
    while (total < _nSize) {
        const ssize_t n = read(fd, _pBuf + total, _nSize - total);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            close(fd);
            return -1;
        }
        if (n == 0)
            break;
        total += static_cast<size_t>(n);
    }
    close(fd);
    return static_cast<ssize_t>(total);
}

QString BaseName(const char* _pBegin, size_t _nLength)
{
    const char* end = _pBegin + _nLength;
    const char* start = _pBegin;
    for (const char* p = _pBegin; p < end; ++p)
        if (*p == '/')
            start = p + 1;
    return QFile::decodeName(QByteArray(start, static_cast<int>(end - start)));
}

struct StatFields
{
    QByteArray comm;
    char state = '?';
    qint64 parentPid = 0;
    quint64 ticks = 0;
    quint64 startTime = 0;
    quint64 rssPages = 0;
};

// "pid (comm) state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
// cutime cstime priority nice threads itrealvalue starttime vsize rss ..."; comm may hold blanks
// and parentheses, so the fields are counted from the last ')'.
bool ParseStat(char* _pBuf, size_t _nLength, StatFields& _out)
{
    _pBuf[_nLength] = '\0';
    char* open = std::strchr(_pBuf, '(');
    char* close = std::strrchr(_pBuf, ')');
    if (!open || !close || close < open)
        return false;
    _out.comm = QByteArray(open + 1, static_cast<int>(close - open - 1));
    char* p = close + 1;
    // Field 3 (state) is the first after the comm; we need 3, 4, 14, 15, 22 and 24.
    int field = 3;
    quint64 utime = 0;
    while (*p && field <= 24) {
        while (*p == ' ')
            ++p;
        if (!*p)
            break;
        char* tokenEnd = p;
        while (*tokenEnd && *tokenEnd != ' ')
            ++tokenEnd;
        switch (field) {
        case 3:
            _out.state = *p;
            break;
        case 4:
            _out.parentPid = std::strtoll(p, nullptr, 10);
            break;
        case 14:
            utime = std::strtoull(p, nullptr, 10);
            break;
        case 15:
            _out.ticks = utime + std::strtoull(p, nullptr, 10);
            break;
        case 22:
            _out.startTime = std::strtoull(p, nullptr, 10);
            break;
        case 24:
            _out.rssPages = std::strtoull(p, nullptr, 10);
            break;
        default:
            break;
        }
        p = tokenEnd;
        ++field;
    }
    return field > 24;
}

// The kernel starts a script with argv = {interpreter, script path, ...} and sets the comm to the
// first 15 bytes of the script's file name; that signature tells a script from an interpreter run
// on a file by hand.
void AddNamesFromArguments(int _nProcFd, const char* _szPid, const QByteArray& _baComm,
                           ProcessRecord& _record)
{
    char path[NAME_MAX + 16];
    std::snprintf(path, sizeof(path), "%s/cmdline", _szPid);
    char buf[4096];
    const ssize_t n = ReadProcFile(_nProcFd, path, buf, sizeof(buf));
    if (n > 0) {
        const char* argv0 = buf;
        const size_t len0 = strnlen(argv0, static_cast<size_t>(n));
        if (len0 > 0) {
            const QString name0 = BaseName(argv0, len0);
            if (!name0.isEmpty() && name0 != _record.name)
                _record.otherNames.append(name0);
        }
        if (len0 + 1 < static_cast<size_t>(n)) {
            const char* argv1 = buf + len0 + 1;
            const size_t len1 = strnlen(argv1, static_cast<size_t>(n) - len0 - 1);
            const char* base1 = argv1;
            for (const char* p = argv1; p < argv1 + len1; ++p)
                if (*p == '/')
                    base1 = p + 1;
            const size_t baseLen = static_cast<size_t>(argv1 + len1 - base1);
            const size_t commLen = static_cast<size_t>(_baComm.size());
            if (baseLen > 0 && commLen > 0 && commLen == std::min<size_t>(baseLen, 15) &&
                std::memcmp(base1, _baComm.constData(), commLen) == 0)
                _record.otherNames.append(BaseName(argv1, len1));
        }
    }
    // Kernel threads and processes whose arguments are hidden are known only by their comm.
    if (_record.name.isEmpty() && _record.otherNames.isEmpty() && !_baComm.isEmpty())
        _record.otherNames.append(QFile::decodeName(_baComm));
}

} // namespace

namespace ProcessSnapshot {

bool Take(Detail _eDetail, std::vector<ProcessRecord>& _vecOut)
{
    _vecOut.clear();
    DIR* dir = opendir("/proc");
    if (!dir)
        return false;
    const int procFd = dirfd(dir);
    static const long s_nTicksPerSecond = sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100;
    static const long s_nPageSize = sysconf(_SC_PAGESIZE) > 0 ? sysconf(_SC_PAGESIZE) : 4096;

    char statBuf[1024];
    char exeBuf[PATH_MAX];
    char path[NAME_MAX + 16];
    while (dirent* entry = readdir(dir)) {
        const char* pidText = entry->d_name;
        if (*pidText < '1' || *pidText > '9')
            continue;
        char* end = nullptr;
        const long long pid = std::strtoll(pidText, &end, 10);
        if (*end != '\0')
            continue;

        std::snprintf(path, sizeof(path), "%s/stat", pidText);
        const ssize_t statLen = ReadProcFile(procFd, path, statBuf, sizeof(statBuf) - 1);
        StatFields stat;
        // A process that ended since the folder was listed is simply not in the snapshot.
        if (statLen <= 0 || !ParseStat(statBuf, static_cast<size_t>(statLen), stat))
            continue;

        ProcessRecord record;
        record.pid = pid;
        record.parentPid = stat.parentPid;
        record.exited = stat.state == 'Z' || stat.state == 'X';
        record.cpuTimeMs = stat.ticks * 1000 / static_cast<quint64>(s_nTicksPerSecond);
        record.startTime = stat.startTime;
        record.workingSetBytes = stat.rssPages * static_cast<quint64>(s_nPageSize);

        std::snprintf(path, sizeof(path), "%s/exe", pidText);
        ssize_t exeLen = readlinkat(procFd, path, exeBuf, sizeof(exeBuf));
        if (exeLen > 0 && exeLen < static_cast<ssize_t>(sizeof(exeBuf))) {
            // An executable replaced on disk while running still names its old file.
            static const char kDeleted[] = " (deleted)";
            const ssize_t deletedLen = sizeof(kDeleted) - 1;
            if (exeLen > deletedLen && std::memcmp(exeBuf + exeLen - deletedLen, kDeleted, deletedLen) == 0)
                exeLen -= deletedLen;
            record.name = BaseName(exeBuf, static_cast<size_t>(exeLen));
        }
        if (_eDetail == kNames)
            AddNamesFromArguments(procFd, pidText, stat.comm, record);
        _vecOut.push_back(std::move(record));
    }
    closedir(dir);
    std::sort(_vecOut.begin(), _vecOut.end(),
              [](const ProcessRecord& a, const ProcessRecord& b) { return a.pid < b.pid; });
    return true;
}

} // namespace ProcessSnapshot
