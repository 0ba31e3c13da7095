// What both systems' walks share: ownership of the opened folder's descriptor.
#include "core/ClientPath.h"

#include "core/Descriptor.h"

ClientPath::~ClientPath()
{
    CloseDescriptor(m_nHandle);
}

ClientPath::ClientPath(ClientPath&& _other) noexcept
    : m_nHandle(_other.m_nHandle), m_qstrPath(std::move(_other.m_qstrPath)),
      m_qstrName(std::move(_other.m_qstrName)), m_qstrError(std::move(_other.m_qstrError))
{
    _other.m_nHandle = -1;
}

ClientPath& ClientPath::operator=(ClientPath&& _other) noexcept
{
    if (this != &_other) {
        CloseDescriptor(m_nHandle);
        m_nHandle = _other.m_nHandle;
        _other.m_nHandle = -1;
        m_qstrPath = std::move(_other.m_qstrPath);
        m_qstrName = std::move(_other.m_qstrName);
        m_qstrError = std::move(_other.m_qstrError);
    }
    return *this;
}

ClientPath ClientPath::OpenFolder(const QString& _qstrFolder, bool _blCreate)
{
    return Walked(_qstrFolder, _blCreate, false);
}

ClientPath ClientPath::OpenExisting(const QString& _qstrFolder)
{
    return Walked(_qstrFolder, false, true);
}
