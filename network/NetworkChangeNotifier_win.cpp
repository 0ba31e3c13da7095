// Follows iphlpapi's change notifications for interfaces (NotifyIpInterfaceChange), unicast
// addresses (NotifyUnicastIpAddressChange) and routes (NotifyRouteChange2), the events behind the
// system's "network changed" notices. Their callbacks run on a thread of the system's, so each
// only queues the signal onto this object's thread.
#include "network/NetworkChangeNotifier.h"
#include "core/LogCategories.h"

#include <QDebug>

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <vector>

struct NetworkChangeNotifier::Source
{
    std::vector<HANDLE> handles;

    ~Source()
    {
        // Waits for a callback in progress, so none runs on a notifier that is gone.
        for (HANDLE handle : handles)
            CancelMibChangeNotify2(handle);
    }
};

namespace {

void Forward(void* _pContext)
{
    auto* notifier = static_cast<NetworkChangeNotifier*>(_pContext);
    // Queued with the notifier as context: an event still waiting when it is deleted goes with it.
    QMetaObject::invokeMethod(
        notifier, [notifier] { emit notifier->SignChanged(); }, Qt::QueuedConnection);
}

void WINAPI OnInterfaceChange(PVOID _pContext, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE)
{
    Forward(_pContext);
}

void WINAPI OnAddressChange(PVOID _pContext, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE)
{
    Forward(_pContext);
}

void WINAPI OnRouteChange(PVOID _pContext, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE)
{
    Forward(_pContext);
}

} // namespace

NetworkChangeNotifier::NetworkChangeNotifier(QObject* _pParent) : QObject(_pParent) {}

NetworkChangeNotifier::~NetworkChangeNotifier() = default;

bool NetworkChangeNotifier::Start()
{
    if (m_pSource)
        return true;
    auto source = std::make_unique<Source>();
    HANDLE handle = nullptr;
    DWORD error = NotifyIpInterfaceChange(AF_UNSPEC, OnInterfaceChange, this, FALSE, &handle);
    if (error == NO_ERROR) {
        source->handles.push_back(handle);
        error = NotifyUnicastIpAddressChange(AF_UNSPEC, OnAddressChange, this, FALSE, &handle);
    }
    if (error == NO_ERROR) {
        source->handles.push_back(handle);
        error = NotifyRouteChange2(AF_UNSPEC, OnRouteChange, this, FALSE, &handle);
    }
    if (error != NO_ERROR) {
        qCWarning(lcNetwork) << "NetworkChangeNotifier::Start:cannot follow the network changes, error"
                             << error;
        return false;
    }
    source->handles.push_back(handle);
    m_pSource = std::move(source);
    return true;
}
