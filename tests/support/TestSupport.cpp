#include "TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quelmor::test {

int openDescriptorCount()
{
    DIR* directory = ::opendir("/proc/self/fd");
    if (!directory)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(directory);
    return count - 1;  // the directory's own descriptor
}

PortBlocker::PortBlocker()
{
    socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && ::listen(socket, 1) == 0 &&
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
}

PortBlocker::~PortBlocker()
{
    ::close(socket);
}

}  // namespace quelmor::test
