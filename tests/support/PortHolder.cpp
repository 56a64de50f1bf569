// SPDX-License-Identifier: GPL-3.0-or-later
#include "PortHolder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

namespace quelmor::test {

namespace {

sockaddr_in ipv4Address(std::uint32_t host, int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(host);
    return address;
}

// 0 when a connection to 127.0.0.1:port is accepted, else connect's errno.
int connectError(int port)
{
    const net::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = ipv4Address(INADDR_LOOPBACK, port);
    return ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
}

}  // namespace

PortHolder::PortHolder(int port) : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    const int enable = 1;
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable);
    sockaddr_in address = ipv4Address(INADDR_ANY, port);
    socklen_t length = sizeof address;
    if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(socket_.get(), 1) == 0 &&
        ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port_ = ntohs(address.sin_port);
}

bool portOpen(int port)
{
    return connectError(port) == 0;
}

bool connectionRefused(int port)
{
    return connectError(port) == ECONNREFUSED;
}

bool portBindable(int port)
{
    return PortHolder(port).holds();
}

}  // namespace quelmor::test
