#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

// The decisions the Windows file code takes about a folder, a reparse point or a file it opened by
// handle, on plain values read from the handle's security descriptor and attributes, so that each
// rule can be checked without a second account or a file system that enforces access lists.
namespace HandleTrust {

// Whom a security identifier stands for, as far as trust goes.
enum class Who {
    User,           // the running user (or the owner the user's token gives new objects)
    Administrators, // the machine's administrators group
    System,         // the operating system itself (LocalSystem, TrustedInstaller)
    Other
};

// The rights of an access-control entry, as Windows numbers them.
namespace Rights {
constexpr quint32 kAddFile = 0x0002;         // FILE_ADD_FILE (FILE_WRITE_DATA on a file)
constexpr quint32 kAddSubfolder = 0x0004;    // FILE_ADD_SUBDIRECTORY (FILE_APPEND_DATA)
constexpr quint32 kWriteEa = 0x0010;         // FILE_WRITE_EA
constexpr quint32 kDeleteChild = 0x0040;     // FILE_DELETE_CHILD
constexpr quint32 kWriteAttributes = 0x0100; // FILE_WRITE_ATTRIBUTES
constexpr quint32 kDelete = 0x00010000;
constexpr quint32 kWriteDac = 0x00040000;
constexpr quint32 kWriteOwner = 0x00080000;
constexpr quint32 kGenericAll = 0x10000000;
constexpr quint32 kGenericWrite = 0x40000000;
// Enough to remove, rename or take over what is in a folder (or the folder itself).
constexpr quint32 kReplace = kDeleteChild | kDelete | kWriteDac | kWriteOwner | kGenericAll;
// Any change at all.
constexpr quint32 kAnyWrite =
    kReplace | kAddFile | kAddSubfolder | kWriteEa | kWriteAttributes | kGenericWrite;
} // namespace Rights

struct Ace
{
    Who who = Who::Other;
    bool allow = true;
    // Given to what is made inside only, not to the object itself.
    bool inheritOnly = false;
    quint32 mask = 0;
};

// The rights granted by the access list to anyone but the user, the administrators and the system.
// No access list at all grants everything to everyone.
quint32 OthersRights(bool _blHasDacl, const std::vector<Ace>& _vecAces);

bool IsTrusted(Who _who);

struct Facts
{
    bool isFolder = false;
    // A reparse point that stands for another name (a symbolic link or a junction).
    bool isLink = false;
    Who owner = Who::Other;
    // The owner's SID as text, for an error.
    QString ownerName;
    quint32 othersRights = 0;
};

// Why a folder on a client's path is not to be trusted; empty when it is. Others may add entries
// to a trusted folder (as they may on a drive's root) but never remove, rename or take over what
// is in it, as in a sticky folder.
QString ClientFolderRefusal(const Facts& _facts);
// Why a reparse point on a client's path is not followed; empty when it may be.
QString LinkRefusal(const Facts& _facts);
// Why a part of the service's private folder is refused; empty when it is the user's and closed
// to others' writes (others who may still read or enter it are shut out afterwards).
QString PrivateFolderRefusal(const Facts& _facts);

// The target of a symbolic link or junction, from the reparse data the file system returns for
// it: the substitute name with "/" separators, its "\??\" prefix dropped ("\??\UNC\s\x" becomes
// "//s/x", a volume name "//?/Volume{...}"); relative for a relative symbolic link. ok is false
// for another kind of reparse point or data cut short.
struct LinkTarget
{
    bool ok = false;
    bool relative = false;
    QString path;
};
LinkTarget ParseReparseData(const QByteArray& _baData);

} // namespace HandleTrust
