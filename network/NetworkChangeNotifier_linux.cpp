// Follows the kernel's rtnetlink multicast groups for links, IPv4/IPv6 addresses and routes,
// the events behind a desktop's "network configuration changed" notifications.
#include "network/NetworkChangeNotifier.h"
#include "core/LogCategories.h"

#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

struct NetworkChangeNotifier::Source
{
    int nSocket = -1;
    std::unique_ptr<QSocketNotifier> pNotifier;

    ~Source()
    {
        pNotifier.reset();
        if (nSocket >= 0)
            ::close(nSocket);
    }
};

NetworkChangeNotifier::NetworkChangeNotifier(QObject* _pParent) : QObject(_pParent) {}

NetworkChangeNotifier::~NetworkChangeNotifier() = default;

bool NetworkChangeNotifier::Start()
{
    if (m_pSource)
        return true;
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        qCWarning(lcNetwork) << "NetworkChangeNotifier::Start:no netlink socket:" << std::strerror(errno);
        return false;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups =
        RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        qCWarning(lcNetwork) << "NetworkChangeNotifier::Start:cannot join the netlink groups:"
                             << std::strerror(errno);
        ::close(fd);
        return false;
    }
    m_pSource = std::make_unique<Source>();
    m_pSource->nSocket = fd;
    m_pSource->pNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_pSource->pNotifier.get(), &QSocketNotifier::activated, this, [this] {
        // The content does not matter, only that something changed: drain everything queued.
        // An overrun (ENOBUFS) lost messages, which is a change all the same.
        char buffer[8192];
        for (;;) {
            const ssize_t n = ::recv(m_pSource->nSocket, buffer, sizeof buffer, 0);
            if (n <= 0 && !(n < 0 && errno == ENOBUFS))
                break;
        }
        emit SignChanged();
    });
    return true;
}
