// What both systems' private folders share: ownership of the folder's descriptor.
#include "core/PrivateFolder.h"

#include "core/Descriptor.h"

PrivateFolder::~PrivateFolder()
{
    CloseDescriptor(m_nHandle);
}

PrivateFolder::PrivateFolder(PrivateFolder&& _other) noexcept
    : m_nHandle(_other.m_nHandle), m_qstrPath(std::move(_other.m_qstrPath)),
      m_qstrError(std::move(_other.m_qstrError))
{
    _other.m_nHandle = -1;
}

PrivateFolder& PrivateFolder::operator=(PrivateFolder&& _other) noexcept
{
    if (this != &_other) {
        CloseDescriptor(m_nHandle);
        m_nHandle = _other.m_nHandle;
        _other.m_nHandle = -1;
        m_qstrPath = std::move(_other.m_qstrPath);
        m_qstrError = std::move(_other.m_qstrError);
    }
    return *this;
}
