#pragma once

#include "core/Result.h"

#include <QString>
#include <QStringList>

#include <memory>

// Paths a running task writes into, held so that no other task writes into the same tree at the
// same time: one replace's restore would undo another's work, and two updates extracting into
// one folder would mix their packages. One registry for the whole process; a claim is given
// back when its object is destroyed.
class PathClaim
{
public:
    ~PathClaim();
    PathClaim(const PathClaim&) = delete;
    PathClaim& operator=(const PathClaim&) = delete;

    // Claims all the paths together, or none (failing with the busy one) when one of them is,
    // holds or lies inside a path that another claim holds. Paths are compared as Normal() gives
    // them.
    static Result<std::unique_ptr<PathClaim>> Claim(const QStringList& _listPaths);

    // The same path, or one folder holding the other.
    static bool Overlaps(const QString& _qstrA, const QString& _qstrB);
    // Absolute, with links in the existing part resolved, so two spellings of a place compare equal.
    static QString Normal(const QString& _qstrPath);

private:
    explicit PathClaim(const QStringList& _listPaths) : m_listPaths(_listPaths) {}

    QStringList m_listPaths;
};
