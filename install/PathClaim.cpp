#include "install/PathClaim.h"

#include <QDir>
#include <QFileInfo>

#include <mutex>

namespace {

std::mutex& ClaimMutex()
{
    static std::mutex s_mutex;
    return s_mutex;
}

QStringList& Claims()
{
    static QStringList s_claims;
    return s_claims;
}

} // namespace

PathClaim::~PathClaim()
{
    std::lock_guard<std::mutex> lock(ClaimMutex());
    for (const QString& path : qAsConst(m_listPaths))
        Claims().removeOne(path);
}

Result<std::unique_ptr<PathClaim>> PathClaim::Claim(const QStringList& _listPaths)
{
    std::lock_guard<std::mutex> lock(ClaimMutex());
    for (const QString& claimed : qAsConst(Claims()))
        for (const QString& path : _listPaths)
            if (Overlaps(claimed, path))
                return Result<std::unique_ptr<PathClaim>>::Failure(path);
    Claims().append(_listPaths);
    return std::unique_ptr<PathClaim>(new PathClaim(_listPaths));
}

bool PathClaim::Overlaps(const QString& _qstrA, const QString& _qstrB)
{
    return _qstrA == _qstrB || _qstrA.startsWith(_qstrB + QLatin1Char('/')) ||
           _qstrB.startsWith(_qstrA + QLatin1Char('/'));
}

QString PathClaim::Normal(const QString& _qstrPath)
{
    const QFileInfo info(QDir::cleanPath(QDir(_qstrPath).absolutePath()));
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    return parent.isEmpty() ? info.absoluteFilePath()
                            : QDir::cleanPath(parent + QLatin1Char('/') + info.fileName());
}
