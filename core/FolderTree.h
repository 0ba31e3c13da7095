#pragma once

#include <QString>

// Deletes and moves folders through descriptors: every entry is removed below an opened folder,
// nothing is resolved by path again and no link is followed, so a folder that another user
// swapped for a link loses only the link. Each operation first checks that the folder is still
// the one recorded by Identity(), and does nothing when it is not.
namespace FolderTree {

// Device, inode and birth time of the folder at _qstrPath, without following a link; empty text
// when it is no folder or its birth time is unknown (then nothing can be vouched for).
QString Identity(const QString& _qstrPath);

// True when the entry at _qstrPath (not followed if it is a link) belongs to the running user.
bool IsOurs(const QString& _qstrPath);

// Removes the folder and everything in it.
bool Remove(const QString& _qstrPath, const QString& _qstrIdentity);
// Removes everything in the folder; the folder stays.
bool Empty(const QString& _qstrPath, const QString& _qstrIdentity);
// True when the folder holds no entry at all.
bool IsEmpty(const QString& _qstrPath, const QString& _qstrIdentity);
// Renames the folder to a fresh name beside it; the new path, or empty text when it is not
// the recorded folder or cannot be renamed.
QString MoveAside(const QString& _qstrPath, const QString& _qstrIdentity);

} // namespace FolderTree
