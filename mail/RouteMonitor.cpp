#include "RouteMonitor.h"

#include <QSocketNotifier>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

// The link flags that decide whether a route over the link can carry anything.
constexpr unsigned WatchedFlags = IFF_UP | IFF_RUNNING | IFF_LOOPBACK;
constexpr unsigned DeadNexthop = RTNH_F_DEAD | RTNH_F_LINKDOWN;

using Links = QHash<int, unsigned>;

int routeSocket(unsigned groups)
{
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    // The kernel answers at once; this only bounds a kernel that would not.
    const timeval bound{2, 0};
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Every netlink message of one read.
template <typename Each> void eachMessage(const char *data, ssize_t size, Each &&each)
{
    int left = int(size);
    for (auto *message = reinterpret_cast<const nlmsghdr *>(data); NLMSG_OK(message, left);
         message = NLMSG_NEXT(message, left))
        each(*message);
}

// Asks for every object of a kind (links or routes) and hands each answer to `each`.
template <typename Each> bool dump(int fd, quint16 type, quint32 sequence, Each &&each)
{
    struct {
        nlmsghdr header;
        ifinfomsg body; // the larger of ifinfomsg and rtmsg; both start with the family
    } request{};
    request.header.nlmsg_len =
        NLMSG_LENGTH(type == RTM_GETLINK ? sizeof(ifinfomsg) : sizeof(rtmsg));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    request.body.ifi_family = AF_UNSPEC;
    if (::send(fd, &request, request.header.nlmsg_len, 0) < 0)
        return false;
    std::vector<char> buffer(65536);
    for (;;) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bool done = false;
        bool failed = false;
        eachMessage(buffer.data(), got, [&](const nlmsghdr &message) {
            if (message.nlmsg_seq != sequence || done || failed)
                return;
            if (message.nlmsg_type == NLMSG_DONE)
                done = true;
            else if (message.nlmsg_type == NLMSG_ERROR)
                failed = true;
            else
                each(message);
        });
        if (done || failed)
            return done;
    }
}

bool linkCarries(const Links &links, int index)
{
    // A link the table did not list is given the benefit of the doubt.
    const auto link = links.constFind(index);
    return link == links.cend() ||
           ((*link & (IFF_UP | IFF_RUNNING)) == (IFF_UP | IFF_RUNNING) && !(*link & IFF_LOOPBACK));
}

bool usableDefaultRoute(const nlmsghdr &message, const Links &links)
{
    if (message.nlmsg_type != RTM_NEWROUTE || message.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
        return false;
    const auto *route = static_cast<const rtmsg *>(NLMSG_DATA(&message));
    if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST ||
        (route->rtm_flags & DeadNexthop))
        return false;
    unsigned table = route->rtm_table;
    int link = 0;
    bool nexthops = false;
    bool carried = false;
    int left = int(RTM_PAYLOAD(&message));
    for (auto *attribute = RTM_RTA(route); RTA_OK(attribute, left);
         attribute = RTA_NEXT(attribute, left)) {
        const int size = int(RTA_PAYLOAD(attribute));
        if (attribute->rta_type == RTA_TABLE && size >= int(sizeof(quint32)))
            table = *static_cast<const quint32 *>(RTA_DATA(attribute));
        else if (attribute->rta_type == RTA_OIF && size >= int(sizeof(int)))
            link = *static_cast<const int *>(RTA_DATA(attribute));
        else if (attribute->rta_type == RTA_MULTIPATH) {
            // Several ways out: one that carries is enough.
            int hopsLeft = size;
            for (auto *hop = static_cast<const rtnexthop *>(RTA_DATA(attribute));
                 RTNH_OK(hop, hopsLeft); hopsLeft -= hop->rtnh_len, hop = RTNH_NEXT(hop)) {
                nexthops = true;
                carried = carried || (!(hop->rtnh_flags & DeadNexthop) &&
                                      linkCarries(links, hop->rtnh_ifindex));
            }
        }
    }
    if (table == RT_TABLE_LOCAL)
        return false;
    return nexthops ? carried : link == 0 || linkCarries(links, link);
}

} // namespace

RouteMonitor::RouteMonitor(QObject *parent)
    : QObject(parent)
{
    const int fd = routeSocket(RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE);
    if (fd < 0)
        return;
    m_socket = fd;
    if (!readTable()) {
        ::close(fd);
        m_socket = -1;
        return;
    }
    m_notifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &RouteMonitor::readChanges);
}

RouteMonitor::~RouteMonitor()
{
    delete m_notifier;
    if (m_socket >= 0)
        ::close(m_socket);
}

bool RouteMonitor::readTable()
{
    const int fd = routeSocket(0);
    if (fd < 0)
        return false;
    Links links;
    bool present = false;
    const bool read = dump(fd, RTM_GETLINK, 1,
                           [&](const nlmsghdr &message) {
                               if (message.nlmsg_type != RTM_NEWLINK ||
                                   message.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
                                   return;
                               const auto *link =
                                   static_cast<const ifinfomsg *>(NLMSG_DATA(&message));
                               links.insert(link->ifi_index, link->ifi_flags & WatchedFlags);
                           }) &&
                      dump(fd, RTM_GETROUTE, 2, [&](const nlmsghdr &message) {
                          present = present || usableDefaultRoute(message, links);
                      });
    ::close(fd);
    if (!read)
        return false;
    m_links = links;
    m_defaultRoute = present;
    return true;
}

void RouteMonitor::readChanges()
{
    bool reread = false;
    std::vector<char> buffer(65536);
    for (;;) {
        sockaddr_nl sender{};
        socklen_t senderSize = sizeof sender;
        const ssize_t got = ::recvfrom(m_socket, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr *>(&sender), &senderSize);
        if (got < 0 && (errno == EINTR || errno == ENOBUFS)) {
            // ENOBUFS: news were lost while we were busy; only a new read tells what is.
            reread = reread || errno == ENOBUFS;
            continue;
        }
        if (got <= 0)
            break;
        if (sender.nl_pid != 0)
            continue;
        eachMessage(buffer.data(), got, [&](const nlmsghdr &message) {
            if ((message.nlmsg_type == RTM_NEWROUTE || message.nlmsg_type == RTM_DELROUTE) &&
                message.nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg)))
                reread =
                    reread || static_cast<const rtmsg *>(NLMSG_DATA(&message))->rtm_dst_len == 0;
            if ((message.nlmsg_type == RTM_NEWLINK || message.nlmsg_type == RTM_DELLINK) &&
                message.nlmsg_len >= NLMSG_LENGTH(sizeof(ifinfomsg))) {
                const auto *link = static_cast<const ifinfomsg *>(NLMSG_DATA(&message));
                const auto known = m_links.constFind(link->ifi_index);
                const bool gone = message.nlmsg_type == RTM_DELLINK;
                // A wireless link's news come as link messages too; only a change of state counts.
                reread = reread || gone || known == m_links.cend() ||
                         *known != (link->ifi_flags & WatchedFlags);
            }
        });
    }
    const bool before = m_defaultRoute;
    if (reread && readTable() && m_defaultRoute != before)
        Q_EMIT defaultRouteChanged(m_defaultRoute);
}

#else

RouteMonitor::RouteMonitor(QObject *parent)
    : QObject(parent)
{
}

RouteMonitor::~RouteMonitor() = default;

bool RouteMonitor::readTable()
{
    return false;
}

void RouteMonitor::readChanges() {}

#endif
